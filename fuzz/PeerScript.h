// The server side of the network fuzz targets: a peer on 127.0.0.1 that plays
// a script taken from the fuzz input to one client connection, on its own
// thread. Script bytes are sent as they are (as TLS records once TLS is on),
// except these control bytes, each of which first sends what came before it:
//
//   0x00  wait briefly for the client's next line (or record)
//   0x01  the server side of the TLS handshake
//   0x02  (then a byte n) the bytes not yet sent, (n + 1)^2 * 16 times over
//         (64 MiB at most)
//   0x03  raw mode on or off: bytes go out on the TCP socket past TLS
//   0x04  TLS close_notify
//   0x05  TLS 1.3 key update
//   0x06  TLS 1.3 session ticket
//   0x07  the next bytes go out as records cut after half their length
//
// When the script is done the peer ends its output and waits a little for
// the client to close. No wait of the peer is long: a client that waits for
// more of a reply gets the next piece of the script soon, or the end of the
// stream.
#pragma once

#include <memory>
#include <string>

class TlsTestServer;

namespace fuzzing {

// Every step of a client against the peer may take this long; the peer never
// keeps a client waiting that long on purpose.
constexpr unsigned kClientTimeoutMs = 500;

class PeerScript {
public:
    // Starts listening for the client and playing the script to it.
    explicit PeerScript(std::string script);
    // Waits for the script to end.
    ~PeerScript();
    PeerScript(const PeerScript&) = delete;
    PeerScript& operator=(const PeerScript&) = delete;

    int Port() const;

private:
    std::unique_ptr<TlsTestServer> m_server;
};

// Splits the fuzz input at its first two bytes: the settings of a run and the
// script. Missing bytes read as 0.
struct RunSettings {
    unsigned char first = 0;
    unsigned char second = 0;
    std::string script;
};
RunSettings SplitInput(const unsigned char* data, std::size_t size);

}  // namespace fuzzing
