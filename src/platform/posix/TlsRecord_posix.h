// TLS record boundaries: the package hands OpenSSL one record at a time, so
// it must know where each record ends before OpenSSL sees the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The largest record body TLS allows (2^14 plus the ciphertext expansion).
constexpr size_t kTlsMaxRecordBody = 16384 + 2048;
constexpr size_t kTlsRecordHeader = 5;

enum class TlsRecordScan { Complete, Incomplete, Illegal };

// Looks at the record that starts at p (n bytes held). Complete sets *recordSize
// to header plus body. Illegal: the bytes cannot start a TLS record (a plain
// text reply, a length no record can have), so waiting for more is pointless.
inline TlsRecordScan ScanTlsRecord(const std::uint8_t* p, size_t n, size_t* recordSize) {
    if (n >= 1 && (p[0] < 20 || p[0] > 24))
        return TlsRecordScan::Illegal;
    if (n >= 2 && p[1] != 3)
        return TlsRecordScan::Illegal;
    if (n < kTlsRecordHeader)
        return TlsRecordScan::Incomplete;
    size_t body = (static_cast<size_t>(p[3]) << 8) | p[4];
    if (body > kTlsMaxRecordBody)
        return TlsRecordScan::Illegal;
    if (n < kTlsRecordHeader + body)
        return TlsRecordScan::Incomplete;
    *recordSize = kTlsRecordHeader + body;
    return TlsRecordScan::Complete;
}

}  // namespace platform
