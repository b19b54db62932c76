// TSMTPSSLSocket::Receive on what a server sends after a real handshake:
// records of any content and size, alerts, key updates, session tickets,
// records cut short and raw bytes past TLS, read into buffers of any size.
// With bit 0 of the first byte set the handshake itself gets the script.
#include <cstdint>
#include <string>
#include <vector>

#include "PeerScript.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"

using namespace fuzzing;

namespace {

// Reads are bounded: a peer's script cannot send more than this many records.
constexpr int kMaxReads = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RunSettings input = SplitInput(data, size);
    const bool bScriptedHandshake = (input.first & 1) != 0;
    PeerScript peer(bScriptedHandshake ? input.script : std::string(1, '\x01') + input.script);
    const unsigned nCapacity = input.second == 0 ? 64000u : input.second;
    std::vector<char> buffer(nCapacity);
    TSMTPSSLSocket socket;
    try {
        socket.Create(nullptr, 0, 0);
        socket.SetDeadline(kClientTimeoutMs, u"connecting");
        socket.Connect(u"127.0.0.1", peer.Port());
        socket.SetDeadline(kClientTimeoutMs, u"the TLS handshake");
        socket.StartClientHandshake(u"localhost");
        for (int i = 0; i < kMaxReads; ++i) {
            socket.SetDeadline(kClientTimeoutMs, u"receiving");
            if (!socket.IsReadable(socket.RemainingMs()) ||
                socket.Receive(buffer.data(), nCapacity) == 0)
                break;
            // A line lets the peer's script go on at once.
            socket.Send("\r\n", 2);
        }
        socket.SetDeadline(kClientTimeoutMs, u"closing");
        socket.Close();
    } catch (const TSMTPException&) {
        // The transport's answer to a broken peer; the destructor closes.
    }
    return 0;
}
