// How fast the TLS channel moves a large message (an attachment of many MiB)
// in each direction over loopback, and the cost of a handshake.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Environment.h"
#include "TlsTestServer.h"
#include "transport/TSMTPSSLSocket.h"

namespace {

constexpr size_t kChunk = 1 << 20;  // what one Send call carries

void BM_TlsSend(benchmark::State& state) {
    TrustTestCa();
    size_t received = 0;
    TlsTestServer server([&](TlsServerConnection& c) {
        c.Handshake();
        for (std::string part; !(part = c.ReadSome()).empty();)
            received += part.size();
    });
    TSMTPSSLSocket s;
    s.Create(nullptr, 0, 0);
    s.Connect(u"127.0.0.1", server.Port());
    s.StartClientHandshake(u"localhost");
    std::vector<char> data(kChunk, 'm');
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.Send(data.data(), static_cast<unsigned>(data.size())));
    }
    s.Close();
    server.Finish();
    state.SetBytesProcessed(static_cast<int64_t>(received));
}
BENCHMARK(BM_TlsSend)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TlsReceive(benchmark::State& state) {
    TrustTestCa();
    TlsTestServer server([&](TlsServerConnection& c) {
        c.Handshake();
        std::string block(kChunk, 'r');
        // One block per request byte, until the client says stop.
        for (std::string req; (req = c.ReadSome()) == "+";)
            c.Write(block);
        c.WaitCloseNotify();
    });
    TSMTPSSLSocket s;
    s.Create(nullptr, 0, 0);
    s.Connect(u"127.0.0.1", server.Port());
    s.StartClientHandshake(u"localhost");
    std::vector<char> buf(64000);  // the session's read size
    size_t total = 0;
    for (auto _ : state) {
        s.Send("+", 1);
        size_t got = 0;
        while (got < kChunk)
            got += static_cast<size_t>(s.Receive(buf.data(), static_cast<unsigned>(buf.size())));
        total += got;
    }
    s.Send("-", 1);
    s.Close();
    server.Finish();
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_TlsReceive)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TlsHandshake(benchmark::State& state) {
    TrustTestCa();
    for (auto _ : state) {
        TlsTestServer server([](TlsServerConnection& c) {
            c.Handshake();
            c.WaitCloseNotify();
        });
        TSMTPSSLSocket s;
        s.Create(nullptr, 0, 0);
        s.Connect(u"127.0.0.1", server.Port());
        benchmark::DoNotOptimize(s.StartClientHandshake(u"localhost"));
        s.Close();
        server.Finish();
    }
}
BENCHMARK(BM_TlsHandshake)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
