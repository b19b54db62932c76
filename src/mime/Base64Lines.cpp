#include "mime/Base64Lines.h"

#include <cstring>
#include <string>

#include "vxutil.h"

namespace {

constexpr size_t kLineLength = 76;
// 57 bytes make exactly one line of 76 characters; a block of whole lines
// never ends in padding, so encoding block by block gives the same text as
// encoding everything at once. The block is small enough to stay in cache.
constexpr size_t kBytesPerLine = 57;
constexpr size_t kBlockBytes = kBytesPerLine * 1024;

size_t RunLength(size_t byteCount) {
    return (byteCount + 2) / 3 * 4;
}

}  // namespace

size_t Base64LinesRoom(size_t byteCount) {
    size_t run = RunLength(byteCount);
    return run / kLineLength * 2 + 3 + run;
}

size_t WriteBase64Lines(const unsigned char* data, size_t byteCount, char* out) {
    char* p = out;
    std::string run;
    for (size_t at = 0; at < byteCount; at += kBlockBytes) {
        size_t n = byteCount - at < kBlockBytes ? byteCount - at : kBlockBytes;
        EncodeBase64(run, data + at, n);
        for (size_t line = 0; line < run.size(); line += kLineLength) {
            size_t length = run.size() - line < kLineLength ? run.size() - line : kLineLength;
            std::memcpy(p, run.data() + line, length);
            p += length;
            *p++ = '\r';
            *p++ = '\n';
        }
    }
    return static_cast<size_t>(p - out);
}
