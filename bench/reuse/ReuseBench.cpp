// The provider's side of bench/reuse/reuse_bench.py: a host that loads the
// provider as the host product does, opens one handle on a configuration
// folder and calls Mail_Send COUNT times with a 2 KiB text message, as a host
// that sends a batch does. The settings (store, trust, SMTPMAIL_KEEPALIVE_S)
// come from the folder and the environment the driver prepares.
//
//   ReuseBench DIR COUNT     prints "messages=COUNT total_ms=T" on success
//
// Only the sends are timed: loading the library and Mail_Initialize happen
// once per host session, and Mail_Uninitialize (which ends a kept connection)
// after the batch.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mailapi.h"

namespace {

std::string Narrow(const MAILWCHAR* text) {
    std::string s;
    for (const MAILWCHAR* p = text; p != nullptr && *p; ++p)
        s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    return s;
}

// The host's log interface: the provider's warnings and errors to standard error.
class StderrLog final : public ILogProvider {
public:
    StderrLog() = default;
    virtual ~StderrLog() = default;
    long MAILCALL Slot0() override { return 0; }
    long MAILCALL Slot1() override { return 0; }
    long MAILCALL Slot2() override { return 0; }
    long MAILCALL Slot3() override { return 0; }
    long MAILCALL WriteLog(void*, int, int, const MAILWCHAR*, const MAILWCHAR*,
                           const MAILWCHAR*) override {
        return 0;
    }
    long MAILCALL WriteMessage(void*, int, int level, const MAILWCHAR* message) override {
        if (level <= 4)
            std::fprintf(stderr, "provider [%d]: %s\n", level, Narrow(message).c_str());
        return 0;
    }
};

using InitializeFn = HMAILPROVIDER(MAILCALL*)(MAILINIFLAGS*);
using UninitializeFn = void(MAILCALL*)(HMAILPROVIDER);
using SendFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*);
using LastErrorFn = MAILERROR*(MAILCALL*)(HMAILPROVIDER);

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ReuseBench DIR COUNT\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";  // file names are glued to it
    const int count = std::atoi(argv[2]);

    const std::string library = std::string(SMTPMAIL_BIN_DIR) + "/libsmtpmail.so";
    void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "ReuseBench: %s\n", dlerror());
        return 2;
    }
    auto initialize = reinterpret_cast<InitializeFn>(dlsym(lib, "Mail_Initialize"));
    auto uninitialize = reinterpret_cast<UninitializeFn>(dlsym(lib, "Mail_Uninitialize"));
    auto send = reinterpret_cast<SendFn>(dlsym(lib, "Mail_Send"));
    auto lastError = reinterpret_cast<LastErrorFn>(dlsym(lib, "Mail_GetLastError"));
    if (initialize == nullptr || uninitialize == nullptr || send == nullptr ||
        lastError == nullptr) {
        std::fprintf(stderr, "ReuseBench: an export is missing\n");
        return 2;
    }

    StderrLog log;
    const std::u16string hostDir(dir.begin(), dir.end());
    MAILINIFLAGS flags;
    std::memset(&flags, 0, sizeof flags);
    flags.cbSize = sizeof flags;
    flags.logProvider = &log;
    flags.pszPrimaryDir = hostDir.c_str();
    flags.pszSecondaryDir = hostDir.c_str();
    HMAILPROVIDER h = initialize(&flags);
    if (h == nullptr) {
        std::fprintf(stderr, "ReuseBench: Mail_Initialize failed\n");
        return 2;
    }

    // 2 KiB of text: 32 lines of 62 characters and CRLF.
    std::u16string body;
    for (int i = 0; i < 32; ++i)
        body += u"A line of the weekly report, as long as most lines of text are\r\n";
    const std::u16string subject = u"Reuse benchmark";
    const std::u16string to = u"bench@example.org";
    MAILRECIPIENT recipient{};
    recipient.nKind = MAILRECIP_TO;
    recipient.pszAddress = to.c_str();
    MAILMESSAGE message;
    std::memset(&message, 0, sizeof message);
    message.pszSubject = subject.c_str();
    message.nBodyType = MAILBODY_MEMORY;
    message.pszBody = body.c_str();
    message.nBodyLength = static_cast<int32_t>(body.size());
    message.nPriority = MAILPRIO_NORMAL;
    message.nRecipients = 1;
    message.pRecipients = &recipient;

    int rc = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count && rc == 0; ++i) {
        const MAILRESULT result = send(h, &message, nullptr);
        if (result != MAILERR_OK) {
            std::fprintf(stderr, "ReuseBench: message %d: Mail_Send returned %d: %s\n", i + 1,
                         static_cast<int>(result), Narrow(lastError(h)->szDescription).c_str());
            rc = 1;
        }
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    uninitialize(h);
    dlclose(lib);
    if (rc == 0)
        std::printf("messages=%d total_ms=%.3f\n", count, ms);
    return rc;
}
