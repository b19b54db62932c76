// oauthrelay-driver: calls SendEmailWithContent of the OAuthRelay library once
// per group of arguments, in one process, so that tests see what a host sees,
// the token cache included.
//
//   oauthrelay-driver NAME=VALUE... [--null NAME]... [--next NAME=VALUE...]...
//
// Each --next starts another call that keeps the previous call's values and
// changes the ones given. Names: to cc bcc subject body html sender-name sender
// host port priority charset starttls mime notify-success notify-failure
// attachments client-id client-secret tenant scope authority headers.
// Values are UTF-8 (on Windows taken from the wide command line); flags are 0
// or 1. Output, one line per call:
//   call N: sent
//   call N: failed: TEXT
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "OAuthRelay.h"
#include "ProgramArguments.h"
#include "TextConvert.h"

namespace {

const char* const kTextNames[] = {"to",      "cc",          "bcc",       "subject",
                                  "body",    "sender-name", "sender",    "host",
                                  "charset", "attachments", "client-id", "client-secret",
                                  "tenant",  "scope",       "authority", "headers"};
const char* const kNumberNames[] = {"html", "port",           "priority",      "starttls",
                                    "mime", "notify-success", "notify-failure"};

bool Known(const std::string& name, const char* const* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (name == names[i]) {
            return true;
        }
    }
    return false;
}

struct Call {
    std::map<std::string, std::optional<std::u16string>> texts;  // nullopt: pass null
    std::map<std::string, long> numbers;

    const char16_t* Text(const char* name) const {
        const auto it = texts.find(name);
        if (it == texts.end()) {
            return u"";
        }
        return it->second ? it->second->c_str() : nullptr;
    }
    long Number(const char* name) const {
        const auto it = numbers.find(name);
        return it == numbers.end() ? 0 : it->second;
    }
};

int Usage(const char* problem) {
    std::fprintf(stderr, "oauthrelay-driver: %s\n", problem);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = toolargs::Utf8Arguments(argc, argv);
    std::vector<Call> calls(1);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--next") {
            calls.push_back(calls.back());
            continue;
        }
        if (arg == "--null") {
            if (i + 1 >= args.size() || !Known(args[i + 1], kTextNames, std::size(kTextNames))) {
                return Usage("--null needs the name of a text argument");
            }
            calls.back().texts[args[++i]] = std::nullopt;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (eq == std::string::npos) {
            return Usage(("expected NAME=VALUE: " + arg).c_str());
        }
        const std::string value = arg.substr(eq + 1);
        if (Known(name, kTextNames, std::size(kTextNames))) {
            calls.back().texts[name] = oauthrelay::Utf8ToUtf16(value);
        } else if (Known(name, kNumberNames, std::size(kNumberNames))) {
            char* end = nullptr;
            const long number = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0') {
                return Usage(("not a number: " + arg).c_str());
            }
            calls.back().numbers[name] = number;
        } else {
            return Usage(("unknown argument name: " + name).c_str());
        }
    }

    for (size_t n = 0; n < calls.size(); ++n) {
        const Call& c = calls[n];
        const char16_t* result = SendEmailWithContent(
            c.Text("to"), c.Text("cc"), c.Text("bcc"), c.Text("subject"), c.Text("body"),
            c.Number("html") != 0, c.Text("sender-name"), c.Text("sender"), c.Text("host"),
            static_cast<int>(c.Number("port")), static_cast<int>(c.Number("priority")),
            c.Text("charset"), c.Number("starttls") != 0, c.Number("mime") != 0,
            c.Number("notify-success") != 0, c.Number("notify-failure") != 0, c.Text("attachments"),
            c.Text("client-id"), c.Text("client-secret"), c.Text("tenant"), c.Text("scope"),
            c.Text("authority"), c.Text("headers"));
        if (result == nullptr || *result == 0) {
            std::printf("call %zu: sent\n", n + 1);
        } else {
            std::printf("call %zu: failed: %s\n", n + 1, oauthrelay::Utf16ToUtf8(result).c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
