// Mail_Send of one large attachment through the exports, end to end: the
// provider is loaded by a separate sending process exactly as a host loads
// it, and delivers to a sink on loopback that reads and discards the data.
// Measured: the time of the whole send and the peak resident memory of the
// sending process (the high-water mark of its resident set, VmHWM, which the
// process reads at its end and leaves in a file). Target: a 50 MiB attachment
// goes out with a peak below four times the file size.
//
//   SendBench [benchmark options]        the benchmarks
//   SendBench --send-child DIR FILE      the sending process (run by the benchmark)
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "mailapi.h"

extern char** environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// ------------------------------------------------------------ sending process

// The host's log interface: the sending process prints warnings only.
class QuietLog final : public ILogProvider {
public:
    QuietLog() = default;
    virtual ~QuietLog() = default;
    long MAILCALL Slot0() override { return 0; }
    long MAILCALL Slot1() override { return 0; }
    long MAILCALL Slot2() override { return 0; }
    long MAILCALL Slot3() override { return 0; }
    long MAILCALL WriteLog(void*, int, int, const MAILWCHAR*, const MAILWCHAR*,
                           const MAILWCHAR*) override {
        return 0;
    }
    long MAILCALL WriteMessage(void*, int, int level, const MAILWCHAR* message) override {
        if (level <= 4) {
            std::string s;
            for (const MAILWCHAR* p = message; *p; ++p)
                s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
            std::fprintf(stderr, "provider [%d]: %s\n", level, s.c_str());
        }
        return 0;
    }
};

std::u16string Wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

int SendChild(const std::string& dir, const std::string& file) {
    const std::string library = std::string(SMTPMAIL_BIN_DIR) + "/libsmtpmail.so";
    void* h = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    auto init =
        reinterpret_cast<HMAILPROVIDER(MAILCALL*)(MAILINIFLAGS*)>(dlsym(h, "Mail_Initialize"));
    auto send = reinterpret_cast<MAILRESULT(MAILCALL*)(
        HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*)>(dlsym(h, "Mail_Send"));
    auto last =
        reinterpret_cast<MAILERROR*(MAILCALL*)(HMAILPROVIDER)>(dlsym(h, "Mail_GetLastError"));
    auto uninit = reinterpret_cast<void(MAILCALL*)(HMAILPROVIDER)>(dlsym(h, "Mail_Uninitialize"));
    if (init == nullptr || send == nullptr || last == nullptr || uninit == nullptr)
        return 2;

    QuietLog log;
    const std::u16string wdir = Wide(dir + "/");
    MAILINIFLAGS flags;
    std::memset(&flags, 0, sizeof flags);
    flags.cbSize = sizeof flags;
    flags.logProvider = &log;
    flags.pszPrimaryDir = wdir.c_str();
    flags.pszSecondaryDir = wdir.c_str();
    HMAILPROVIDER provider = init(&flags);
    if (provider == nullptr)
        return 2;

    const std::u16string subject = u"Large attachment";
    const std::u16string body = u"The file is attached.";
    const std::u16string to = u"bench@example.org";
    const std::u16string path = Wide(file);
    MAILRECIPIENT recipient{};
    recipient.nKind = MAILRECIP_TO;
    recipient.pszAddress = to.c_str();
    MAILATTACHMENT attachment{};
    attachment.pszPath = path.c_str();
    MAILMESSAGE message;
    std::memset(&message, 0, sizeof message);
    message.pszSubject = subject.c_str();
    message.nBodyType = MAILBODY_MEMORY;
    message.pszBody = body.c_str();
    message.nBodyLength = static_cast<int32_t>(body.size());
    message.nPriority = MAILPRIO_NORMAL;
    message.nRecipients = 1;
    message.pRecipients = &recipient;
    message.nAttachments = 1;
    message.pAttachments = &attachment;
    const MAILRESULT rc = send(provider, &message, nullptr);
    if (rc != MAILERR_OK) {
        std::string s;
        for (const MAILWCHAR* p = last(provider)->szDescription; *p; ++p)
            s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
        std::fprintf(stderr, "Mail_Send returned %d: %s\n", static_cast<int>(rc), s.c_str());
    }
    uninit(provider);

    // The high-water mark of this process's own memory (ru_maxrss of a
    // spawned child can also hold its parent's before the exec).
    std::ifstream status("/proc/self/status");
    std::string line;
    long hwmKiB = -1;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            hwmKiB = std::stol(line.substr(6));
    }
    std::ofstream(dir + "/peak-kib.txt", std::ios::trunc) << hwmKiB << "\n";
    return rc == MAILERR_OK ? 0 : 1;
}

// ------------------------------------------------------------ the sink

// One SMTP conversation on a listening socket: every command accepted, the
// message read to its end-of-data line and thrown away.
class Sink {
public:
    Sink() {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(m_listen, 1) == 0 &&
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_nPort = ntohs(a.sin_port);
        timeval tv{60, 0};
        ::setsockopt(m_listen, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_thread = std::thread(&Sink::Run, this);
    }
    ~Sink() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    int Port() const { return m_nPort; }
    long long DataBytes() const { return m_nData; }
    bool Delivered() const { return m_bDelivered; }

private:
    void Run() {
        int fd;
        do {
            fd = ::accept(m_listen, nullptr, nullptr);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return;
        timeval tv{60, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        Say(fd, "220 sink ready\r\n");
        std::string line;
        while (ReadLine(fd, line)) {
            if (line.rfind("DATA", 0) == 0) {
                Say(fd, "354 go ahead\r\n");
                if (!ReadData(fd))
                    break;
                m_bDelivered = true;
                Say(fd, "250 discarded\r\n");
            } else if (line.rfind("QUIT", 0) == 0) {
                Say(fd, "221 bye\r\n");
                break;
            } else if (line.rfind("EHLO", 0) == 0) {
                Say(fd, "250-sink\r\n250 8BITMIME\r\n");
            } else {
                Say(fd, "250 ok\r\n");
            }
        }
        ::close(fd);
    }
    static void Say(int fd, const char* text) {
        if (::send(fd, text, std::strlen(text), MSG_NOSIGNAL) < 0)
            return;
    }
    bool Fill(int fd) {
        char buffer[1 << 16];
        ssize_t n;
        do {
            n = ::recv(fd, buffer, sizeof buffer, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        m_pending.append(buffer, static_cast<size_t>(n));
        return true;
    }
    bool ReadLine(int fd, std::string& line) {
        size_t end;
        while ((end = m_pending.find("\r\n")) == std::string::npos) {
            if (!Fill(fd))
                return false;
        }
        line = m_pending.substr(0, end);
        m_pending.erase(0, end + 2);
        return true;
    }
    // Counts the bytes up to "\r\n.\r\n" and keeps only a short tail.
    bool ReadData(int fd) {
        static const std::string kEnd = "\r\n.\r\n";
        for (;;) {
            const size_t end = m_pending.find(kEnd);
            if (end != std::string::npos) {
                m_nData += static_cast<long long>(end);
                m_pending.erase(0, end + kEnd.size());
                return true;
            }
            if (m_pending.size() > kEnd.size()) {
                const size_t keep = kEnd.size() - 1;
                m_nData += static_cast<long long>(m_pending.size() - keep);
                m_pending.erase(0, m_pending.size() - keep);
            }
            if (!Fill(fd))
                return false;
        }
    }

    int m_listen = -1;
    int m_nPort = 0;
    std::thread m_thread;
    std::string m_pending;
    std::atomic<long long> m_nData{0};
    std::atomic<bool> m_bDelivered{false};
};

// ------------------------------------------------------------ the benchmark

std::string Scratch() {
    static const std::string dir = [] {
        std::string d = std::filesystem::temp_directory_path().string() + "/send-bench-" +
                        std::to_string(::getpid());
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

// Random bytes (incompressible, every byte value) of the given size, made once.
std::string AttachmentOf(long long bytes) {
    const std::string path = Scratch() + "/attachment-" + std::to_string(bytes) + ".bin";
    if (!std::filesystem::exists(path)) {
        std::mt19937_64 random(42);
        std::ofstream out(path, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (long long done = 0; done < bytes; done += static_cast<long long>(block.size())) {
            for (size_t i = 0; i < block.size(); i += 8) {
                const uint64_t v = random();
                std::memcpy(&block[i], &v, 8);
            }
            out.write(block.data(), static_cast<std::streamsize>(std::min<long long>(
                                        bytes - done, static_cast<long long>(block.size()))));
        }
    }
    return path;
}

void BM_SendAttachmentThroughExports(benchmark::State& state) {
    const long long bytes = state.range(0) * 1024 * 1024;
    const std::string file = AttachmentOf(bytes);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    long maxRssKiB = 0;
    long long wireBytes = 0;
    for (auto _ : state) {
        Sink sink;
        {
            std::ofstream ini(Scratch() + "/vx.ini", std::ios::trunc);
            ini << "[SMTP]\nsmtpHost=127.0.0.1\nsmtpPort=" << sink.Port()
                << "\nsmtpAuth=0\nsmtpSenderAddr=bench@example.org\n";
        }
        std::string a0 = self, a1 = "--send-child", a2 = Scratch(), a3 = file;
        char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("cannot start the sending process");
            return;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the send failed (see the sending process's output)");
            return;
        }
        long hwmKiB = -1;
        std::ifstream(Scratch() + "/peak-kib.txt") >> hwmKiB;
        maxRssKiB = std::max(maxRssKiB, hwmKiB);
        wireBytes = sink.DataBytes();
    }
    const double peak = static_cast<double>(maxRssKiB) * 1024.0;
    state.counters["file_MiB"] = static_cast<double>(bytes) / kMiB;
    state.counters["peak_rss_MiB"] = peak / kMiB;
    state.counters["peak_over_file"] = peak / static_cast<double>(bytes);
    state.counters["wire_MiB"] = static_cast<double>(wireBytes) / kMiB;
    state.SetBytesProcessed(state.iterations() * bytes);
    // The attachment goes out as Base64 lines: a third more bytes, and at least the file.
    if (wireBytes < bytes)
        state.SkipWithError("the sink received less than the attachment");
    else if (bytes >= 8 * 1024 * 1024 && peak >= 4.0 * static_cast<double>(bytes))
        state.SkipWithError("peak memory of the sending process is four times the file or more");
}

// 1 MiB shows the process's fixed cost; 50 MiB is the target size.
BENCHMARK(BM_SendAttachmentThroughExports)
    ->Arg(1)
    ->Arg(50)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--send-child") == 0)
        return SendChild(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(Scratch(), ec);
    return 0;
}
