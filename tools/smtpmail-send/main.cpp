// smtpmail-send: a sample host of the SMTP mail provider. It does what the
// host product does for one message: load the provider library, fill the
// initialisation record, hand over its logging interface, send, and read the
// error report back when the send fails.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "HostText.h"
#include "ModuleLoader.h"
#include "ProgramArguments.h"
#include "TerminalLog.h"
#include "mailapi.h"

namespace {

using hosttext::WString;
using sendtool::Options;

constexpr int kExitSent = 0;
constexpr int kExitSendFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitProvider = 3;

struct Provider {
    using InitializeFn = HMAILPROVIDER(MAILCALL*)(MAILINIFLAGS*);
    using UninitializeFn = void(MAILCALL*)(HMAILPROVIDER);
    using SendFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*);
    using ExecuteFn = MAILRESULT(MAILCALL*)(HMAILPROVIDER, uint32_t, void*);
    using GetLastErrorFn = MAILERROR*(MAILCALL*)(HMAILPROVIDER);

    InitializeFn Initialize = nullptr;
    UninitializeFn Uninitialize = nullptr;
    SendFn Send = nullptr;
    ExecuteFn Execute = nullptr;
    GetLastErrorFn GetLastError = nullptr;
};

template <typename T>
bool Resolve(hostloader::Module module, const char* name, T& fn, std::string& error) {
    fn = reinterpret_cast<T>(hostloader::Symbol(module, name, error));
    return fn != nullptr;
}

bool LoadProvider(const std::string& path, Provider& p, std::string& error) {
    hostloader::Module module = hostloader::Open(path, error);
    if (module == nullptr)
        return false;
    // The library stays loaded until the process ends, as in the host.
    return Resolve(module, "Mail_Initialize", p.Initialize, error) &&
           Resolve(module, "Mail_Uninitialize", p.Uninitialize, error) &&
           Resolve(module, "Mail_Send", p.Send, error) &&
           Resolve(module, "Mail_Execute", p.Execute, error) &&
           Resolve(module, "Mail_GetLastError", p.GetLastError, error);
}

const char* CodeName(MAILRESULT code) {
    switch (code) {
        case MAILERR_OK:
            return "MAILERR_OK";
        case MAILERR_NO_MORE_ITEMS:
            return "MAILERR_NO_MORE_ITEMS";
        case MAILERR_INIT:
            return "MAILERR_INIT";
        case MAILERR_SEND:
            return "MAILERR_SEND";
        case MAILERR_SEND_FILE:
            return "MAILERR_SEND_FILE";
        case MAILERR_SEND_ATTACH:
            return "MAILERR_SEND_ATTACH";
        case MAILERR_GENERIC:
            return "MAILERR_GENERIC";
        case MAILERR_OUT_OF_MEM:
            return "MAILERR_OUT_OF_MEM";
        case MAILERR_INVALID_PARAMS:
            return "MAILERR_INVALID_PARAMS";
        case MAILERR_INVALID_OPERATION:
            return "MAILERR_INVALID_OPERATION";
        case MAILERR_NO_ATTACH:
            return "MAILERR_NO_ATTACH";
        case MAILERR_ABORTED:
            return "MAILERR_ABORTED";
        case MAILERR_ACCESS_DENIED:
            return "MAILERR_ACCESS_DENIED";
        case MAILERR_INTERNAL:
            return "MAILERR_INTERNAL";
        default:
            return "MAILERR_???";
    }
}

// The report of Mail_Execute 1001 has CRLF line ends; the terminal wants LF.
std::string TerminalText(const MAILWCHAR* text) {
    std::string s = hosttext::ToUtf8(text);
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c != '\r')
            out += c;
    }
    return out;
}

void PrintFailure(const Provider& p, HMAILPROVIDER h, MAILRESULT code) {
    std::printf("Not sent: Mail_Send returned %d (%s).\n", static_cast<int>(code), CodeName(code));
    MAILFORMATERROR report;
    std::memset(&report, 0, sizeof report);
    report.cbSize = sizeof report;
    MAILRESULT rc = p.Execute(h, MAILCMD_FORMATERROR, &report);
    if (rc == MAILERR_OK) {
        std::printf("Error report (Mail_Execute %d):\n%s\n", MAILCMD_FORMATERROR,
                    TerminalText(report.szText).c_str());
    } else {
        // Without the report, the raw last error still tells the reason.
        const MAILERROR* last = p.GetLastError(h);
        std::printf("Mail_Execute %d failed with %d", MAILCMD_FORMATERROR, static_cast<int>(rc));
        if (last != nullptr) {
            std::printf("; last error %d: %s (native code 0x%X)", static_cast<int>(last->nCode),
                        TerminalText(last->szDescription).c_str(),
                        static_cast<unsigned>(last->dwNativeCode));
        }
        std::printf("\n");
    }
}

// Everything the message record points at, kept alive for the call.
struct MessageData {
    WString subject, body;
    std::vector<WString> names, addresses;
    std::vector<MAILRECIPIENT> recipients;
    WString fromName, fromAddress;
    MAILRECIPIENT originator{};
    std::vector<WString> attachmentPaths;
    std::vector<MAILATTACHMENT> attachments;
};

bool Widen(const std::string& text, WString& out, const char* what, std::string& error) {
    if (hosttext::FromUtf8(text, out))
        return true;
    error = std::string(what) + " is not valid UTF-8";
    return false;
}

bool BuildMessage(const Options& o, const WString& configuredType, MessageData& d, MAILMESSAGE& m,
                  std::string& error) {
    std::memset(&m, 0, sizeof m);
    if (!Widen(o.subject, d.subject, "--subject", error))
        return false;

    // Strings first, pointers after: the vectors must not move any more.
    struct Pending {
        int kind;
        const sendtool::Address* a;
    };
    std::vector<Pending> all;
    for (const auto& a : o.to)
        all.push_back({MAILRECIP_TO, &a});
    for (const auto& a : o.cc)
        all.push_back({MAILRECIP_CC, &a});
    for (const auto& a : o.bcc)
        all.push_back({MAILRECIP_BCC, &a});
    d.names.resize(all.size());
    d.addresses.resize(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        if (!Widen(all[i].a->name, d.names[i], "a recipient name", error) ||
            !Widen(all[i].a->address, d.addresses[i], "a recipient address", error)) {
            return false;
        }
    }
    d.recipients.resize(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        MAILRECIPIENT& r = d.recipients[i];
        r.nKind = all[i].kind;
        r.pszName = all[i].a->bHasName ? d.names[i].c_str() : nullptr;
        r.pszAddress = d.addresses[i].c_str();
    }

    if (o.bHasFrom) {
        if (!Widen(o.from.name, d.fromName, "--from", error) ||
            !Widen(o.from.address, d.fromAddress, "--from", error)) {
            return false;
        }
        // A null name keeps the configured display name.
        d.originator.pszName = o.from.bHasName ? d.fromName.c_str() : nullptr;
        d.originator.pszAddress = d.fromAddress.c_str();
        m.pOriginator = &d.originator;
    }

    switch (o.bodySource) {
        case sendtool::BodySource::Text:
            if (!Widen(o.body, d.body, "--body", error))
                return false;
            m.nBodyType = MAILBODY_MEMORY;
            m.pszBody = d.body.c_str();
            m.nBodyLength = static_cast<int32_t>(d.body.size());
            break;
        case sendtool::BodySource::File:
            if (!Widen(o.body, d.body, "--body-file", error))
                return false;
            m.nBodyType = MAILBODY_FILE;
            m.pszBody = d.body.c_str();
            break;
        case sendtool::BodySource::None:
            m.nBodyType = -1;
            break;
    }

    // The content type the host puts on a message: what the user asked for,
    // else what the provider's configuration says (written back by
    // Mail_Initialize), else plain text.
    auto literal = [](std::u16string_view s) { return WString(s.begin(), s.end()); };
    WString type = o.format == sendtool::BodyFormat::Html    ? literal(u"text/html")
                   : o.format == sendtool::BodyFormat::Plain ? literal(u"text/plain")
                   : configuredType.empty()                  ? literal(u"text/plain")
                                                             : configuredType;
    size_t n = type.size() < 81 ? type.size() : 81;
    type.copy(m.szContentType, n);
    m.szContentType[n] = 0;

    d.attachmentPaths.resize(o.attachments.size());
    for (size_t i = 0; i < o.attachments.size(); ++i) {
        if (!Widen(o.attachments[i], d.attachmentPaths[i], "--attach", error))
            return false;
    }
    d.attachments.resize(o.attachments.size());
    for (size_t i = 0; i < d.attachments.size(); ++i) {
        d.attachments[i].pszName = nullptr;  // shown under the file's own name
        d.attachments[i].pszPath = d.attachmentPaths[i].c_str();
    }

    m.pszSubject = d.subject.empty() ? nullptr : d.subject.c_str();
    if (o.bNotifySuccess)
        m.dwFlags |= MAILMSG_NOTIFY_SUCCESS;
    if (o.bNotifyFailure)
        m.dwFlags |= MAILMSG_NOTIFY_FAILURE;
    if (o.bReceipt)
        m.dwFlags |= MAILMSG_READ_RECEIPT;
    m.nPriority = o.priority;
    m.nRecipients = static_cast<int32_t>(d.recipients.size());
    m.pRecipients = d.recipients.data();
    m.nAttachments = static_cast<int32_t>(d.attachments.size());
    m.pAttachments = d.attachments.empty() ? nullptr : d.attachments.data();
    return true;
}

std::string ProgramName(const char* argv0) {
    std::string s = argv0 != nullptr ? argv0 : "smtpmail-send";
    size_t slash = s.find_last_of("/\\");
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = ProgramName(argc > 0 ? argv[0] : nullptr);
    const std::vector<std::string> args = toolargs::Utf8Arguments(argc, argv);
    Options options;
    std::string error;
    for (size_t i = 0; i < args.size(); ++i) {
        WString ignored;
        if (!hosttext::FromUtf8(args[i], ignored)) {
            std::fprintf(stderr, "%s: argument %zu is not valid UTF-8\n", program.c_str(), i + 1);
            return kExitUsage;
        }
    }
    if (!sendtool::ParseCommandLine(args, options, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return kExitUsage;
    }
    if (options.bHelp) {
        std::fputs(sendtool::HelpText(program).c_str(), stdout);
        return kExitSent;
    }

    const std::string libraryPath = hostloader::ExecutableDir() + hostloader::ProviderFileName();
    Provider provider;
    if (!LoadProvider(libraryPath, provider, error)) {
        std::fprintf(stderr, "%s: cannot load the provider %s: %s\n", program.c_str(),
                     libraryPath.c_str(), error.c_str());
        return kExitProvider;
    }

    WString dir;
    if (!hosttext::FromUtf8(options.configDir, dir)) {
        std::fprintf(stderr, "%s: --config-dir is not valid UTF-8\n", program.c_str());
        return kExitUsage;
    }

    sendtool::TerminalLog log(stderr);
    MAILINIFLAGS flags;
    std::memset(&flags, 0, sizeof flags);
    flags.cbSize = sizeof flags;
    flags.dwCfgSource = MAILCFG_SOURCE_FILE;
    flags.hResource = hostloader::Self();
    flags.pszPrimaryDir = dir.c_str();
    flags.pszSecondaryDir = dir.c_str();
    flags.logProvider = &log;
    flags.pSession = nullptr;  // no host session: the store comes from the folder

    std::printf("Provider:      %s\n", libraryPath.c_str());
    std::printf("Configuration: %s (smtp.cfg, vx.ini)\n", options.configDir.c_str());
    HMAILPROVIDER h = provider.Initialize(&flags);
    if (h == nullptr) {
        std::fprintf(stderr, "%s: Mail_Initialize failed (its reason is in the log lines above)\n",
                     program.c_str());
        return kExitProvider;
    }
    flags.szContentType[79] = 0;
    const WString configuredType(flags.szContentType);

    MAILNAME name;
    std::memset(&name, 0, sizeof name);
    name.cbSize = sizeof name;
    if (provider.Execute(h, MAILCMD_GETNAME, &name) == MAILERR_OK) {
        std::printf("Provider name: %s\n", hosttext::ToUtf8(name.szName).c_str());
    }
    if (!configuredType.empty()) {
        std::printf("Configured body format: %s\n", hosttext::ToUtf8(configuredType).c_str());
    }

    MessageData data;
    MAILMESSAGE message;
    if (!BuildMessage(options, configuredType, data, message, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        provider.Uninitialize(h);
        return kExitUsage;
    }
    std::printf("Sending:       %d recipient(s), %d attachment(s), %s body\n",
                static_cast<int>(message.nRecipients), static_cast<int>(message.nAttachments),
                hosttext::ToUtf8(message.szContentType).c_str());
    std::fflush(stdout);

    MAILRESULT rc = provider.Send(h, &message, nullptr);
    std::fflush(stderr);
    int exitCode = kExitSent;
    if (rc == MAILERR_OK) {
        std::printf("Sent: the server accepted the message (Mail_Send returned 0, MAILERR_OK).\n");
    } else {
        PrintFailure(provider, h, rc);
        exitCode = kExitSendFailed;
    }
    std::fflush(stdout);
    provider.Uninitialize(h);
    return exitCode;
}
