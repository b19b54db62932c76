// oauthrelay-driver NAME=VALUE... [--null NAME]... [--next NAME=VALUE...]...
// calls SendEmailWithContent once per group in one process, as a host does;
// --next keeps the values before but those given, --null passes a null.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "OAuthRelay.h"
#include "ProgramArguments.h"
#include "TextConvert.h"

namespace {

const std::string kNames =
    " to cc bcc subject body html sender-name sender host port priority charset starttls mime"
    " notify-success notify-failure attachments client-id client-secret tenant scope authority"
    " headers ";

using Call = std::map<std::string, std::optional<std::u16string>>;  // nullopt: null

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = toolargs::Utf8Arguments(argc, argv);
    std::vector<Call> calls(1);
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--next") {
            calls.push_back(calls.back());
            continue;
        }
        const bool null = args[i] == "--null" && i + 1 < args.size();
        const std::string& arg = null ? args[++i] : args[i];
        const size_t eq = null ? arg.size() : arg.find('=');
        if (eq == std::string::npos ||
            kNames.find(" " + arg.substr(0, eq) + " ") == std::string::npos) {
            std::fprintf(stderr, "oauthrelay-driver: not NAME=VALUE of a known name: %s\n",
                         arg.c_str());
            return 2;
        }
        calls.back()[arg.substr(0, eq)] =
            null ? std::nullopt : std::optional(oauthrelay::Utf8ToUtf16(arg.substr(eq + 1)));
    }
    for (size_t n = 0; n < calls.size(); ++n) {
        Call& c = calls[n];
        // Map entries stay where they are, so the pointers last for the call.
        const auto text = [&c](const char* name) {
            const auto& value = c.try_emplace(name, u"").first->second;
            return value ? value->c_str() : nullptr;
        };
        const auto number = [&](const char* name) {
            return std::atoi(oauthrelay::Utf16ToUtf8(oauthrelay::ArgumentText(text(name))).c_str());
        };
        const char16_t* result = SendEmailWithContent(
            text("to"), text("cc"), text("bcc"), text("subject"), text("body"), number("html") != 0,
            text("sender-name"), text("sender"), text("host"), number("port"), number("priority"),
            text("charset"), number("starttls") != 0, number("mime") != 0,
            number("notify-success") != 0, number("notify-failure") != 0, text("attachments"),
            text("client-id"), text("client-secret"), text("tenant"), text("scope"),
            text("authority"), text("headers"));
        const std::string outcome = result == nullptr || *result == 0
                                        ? "sent"
                                        : "failed: " + oauthrelay::Utf16ToUtf8(result);
        std::printf("call %zu: %s\n", n + 1, outcome.c_str());
        std::fflush(stdout);
    }
    return 0;
}
