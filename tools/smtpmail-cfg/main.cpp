// smtpmail-cfg: writes the provider's enciphered configuration store from named
// settings, or shows the settings of an existing store with the password
// masked. The store goes to a file (--file, or --dir DIR for DIR/smtp.cfg) or
// to the registry value the provider reads (--registry hkcu|hklm).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ProgramArguments.h"
#include "api/ConfigText.h"
#include "api/SettingNames.h"
#include "config/CMailCfg.h"
#include "platform/Registry.h"
#include "platform/Utf.h"

namespace {

constexpr const char16_t* kRegistryKey = u"Software\\Veltrana\\Orbisuite\\mail";
constexpr const char16_t* kValueName = u"smtp.cfg";
constexpr const char* kFileName = "smtp.cfg";
constexpr size_t kMaxChars = 1024;  // the store's reader refuses longer strings

// A text option and the field it fills.
struct TextOption {
    const char* name;
    size_t field;
    const char* label;
};

const TextOption kTextOptions[] = {
    {"--host", CFG_HOST, "host"},
    {"--user", CFG_USER, "user"},
    {"--sender-name", CFG_SENDER_NAME, "sender name"},
    {"--sender-address", CFG_SENDER_ADDR, "sender address"},
    {"--oauth-client-secret", CFG_OAUTH_CLIENT_SECRET, "OAuth2 client secret"},
    {"--oauth-client-id", CFG_OAUTH_CLIENT_ID, "OAuth2 client id"},
    {"--oauth-tenant-id", CFG_OAUTH_TENANT_ID, "OAuth2 tenant id"},
    {"--oauth-scope", CFG_OAUTH_SCOPE, "OAuth2 scope"},
    {"--oauth-token-url", CFG_OAUTH_TOKEN_URL, "OAuth2 token URL"},
    {"--oauth-authority", CFG_OAUTH_AUTHORITY, "OAuth2 authority"},
    {"--oauth-resource", CFG_OAUTH_RESOURCE, "OAuth2 resource"},
};

void Usage(FILE* out) {
    std::fprintf(
        out,
        "Usage: smtpmail-cfg TARGET [SETTINGS...]\n"
        "       smtpmail-cfg TARGET --show\n"
        "\n"
        "Writes the SMTP provider's enciphered configuration store, or shows the\n"
        "settings of an existing one (the password is masked).\n"
        "\n"
        "TARGET (exactly one):\n"
        "  --file PATH           the store file itself\n"
        "  --dir DIR             DIR/smtp.cfg, as the provider looks for it in its\n"
        "                        primary or secondary directory\n"
        "  --registry hkcu|hklm  the registry value smtp.cfg under\n"
        "                        HKEY_CURRENT_USER or "
        "HKEY_LOCAL_MACHINE\\Software\\Veltrana\\Orbisuite\\mail\n"
        "                        (on Windows in the 32-bit view, the product's:\n"
        "                        HKLM\\SOFTWARE\\WOW6432Node\\... on 64-bit Windows)\n"
        "  --registry-root DIR   where the registry stand-in keeps its files (POSIX;\n"
        "                        default SMTPMAIL_REGISTRY_ROOT or ~/.smtpmail/registry)\n"
        "\n"
        "SETTINGS (a setting not given is left empty, so the provider uses its default):\n"
        "  --host NAME           SMTP server (required when writing)\n"
        "  --port N              server port (default 25)\n"
        "  --user NAME           account for SMTP authentication\n"
        "  --password TEXT       account password\n"
        "  --sender-name TEXT    sender display name\n"
        "  --sender-address ADDR sender e-mail address\n"
        "  --auth METHOD         none, cram-md5, login, plain, ntlm, oauth2, one of the\n"
        "                        names AUTH_NONE, CRAM_MD5, AUTH_LOGIN, AUTH_PLAIN,\n"
        "                        AUTH_NTLM, \"AUTH_OAUTH2(Exchange Online)\", or 0..5\n"
        "  --starttls on|off     issue STARTTLS after EHLO (also 1|0, yes|no)\n"
        "  --cert-flags N        certificate-check flags, decimal or 0x hexadecimal\n"
        "  --body-format F       text or html (TEXT, HTML, 0, 1)\n"
        "  --priority P          low, normal or high (1..3)\n"
        "  --oauth-client-secret, --oauth-client-id, --oauth-tenant-id, --oauth-scope,\n"
        "  --oauth-token-url, --oauth-authority, --oauth-resource TEXT\n"
        "                        the OAuth2 values (method oauth2)\n"
        "\n"
        "  --update              start from the store's current settings and change only\n"
        "                        those given (the password too)\n"
        "  --show                read the store and print its settings\n"
        "  --help                this text\n"
        "\n"
        "Exit status: 0 done, 1 the store could not be written or read, 2 bad arguments.\n");
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool ParseNumber(const std::string& text, long long lo, long long hi, long long& value) {
    if (text.empty())
        return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    int base = (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    errno = 0;
    long long v = std::strtoll(begin, &end, base);
    if (errno != 0 || end == begin || *end != 0 || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

// A name of a value table (or its number) as the value.
bool LookupName(const SettingName* table, size_t count, const std::map<std::string, int>& aliases,
                const std::string& text, int& value) {
    std::string lower = Lower(text);
    if (auto it = aliases.find(lower); it != aliases.end()) {
        value = it->second;
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        if (Lower(platform::Utf16ToUtf8(table[i].pszName)) == lower) {
            value = table[i].nValue;
            return true;
        }
    }
    long long v = 0;
    for (size_t i = 0; i < count; ++i) {
        if (ParseNumber(text, table[i].nValue, table[i].nValue, v)) {
            value = static_cast<int>(v);
            return true;
        }
    }
    return false;
}

const char16_t* NameOf(const SettingName* table, size_t count, int value) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].nValue == value)
            return table[i].pszName;
    return nullptr;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "smtpmail-cfg: %s\n", message.c_str());
    return 1;
}

int BadArguments(const std::string& message) {
    std::fprintf(stderr, "smtpmail-cfg: %s (see --help)\n", message.c_str());
    return 2;
}

struct Target {
    std::string file;
    platform::HKEY root = nullptr;
    std::string rootName;
    std::string Describe() const {
        return root != nullptr ? rootName + "\\Software\\Veltrana\\Orbisuite\\mail\\smtp.cfg"
                               : file;
    }
};

bool LoadStore(const Target& target, CMailCfg& cfg) {
    return target.root != nullptr ? cfg.loadRegistry(target.root, kRegistryKey, kValueName)
                                  : cfg.load(platform::Utf8ToUtf16(target.file).c_str());
}

bool SaveStore(const Target& target, CMailCfg& cfg) {
    return target.root != nullptr ? cfg.saveRegistry(target.root, kRegistryKey, kValueName)
                                  : cfg.save(platform::Utf8ToUtf16(target.file).c_str());
}

int Show(const Target& target) {
    CMailCfg cfg;
    if (!LoadStore(target, cfg))
        return Fail("cannot read a store from " + target.Describe());
    std::vector<std::u16string> f = SplitConfigText(cfg.m_strText1);
    auto field = [&f](size_t i) {
        return i < f.size() ? platform::Utf16ToUtf8(f[i]) : std::string();
    };
    auto line = [](const char* label, const std::string& value) {
        std::printf("%-21s %s\n", label, value.c_str());
    };
    auto named = [&](const char* label, size_t i, const SettingName* table, size_t count,
                     const char* fallback) {
        std::string v = field(i);
        if (v.empty()) {
            line(label, std::string("(default: ") + fallback + ")");
            return;
        }
        const char16_t* name = NameOf(table, count, ConfigFieldToInt(f[i]));
        line(label, name != nullptr ? v + " (" + platform::Utf16ToUtf8(name) + ")" : v);
    };
    std::printf("store                 %s\n", target.Describe().c_str());
    line("host", field(CFG_HOST));
    line("port", field(CFG_PORT).empty() ? "(default: 25)" : field(CFG_PORT));
    line("user", field(CFG_USER));
    line("password", cfg.m_strText2.empty() ? "(empty)" : "********");
    line("sender name", field(CFG_SENDER_NAME));
    line("sender address", field(CFG_SENDER_ADDR));
    named("auth", CFG_AUTH_METHOD, g_AuthMethodNames, 6, "0 AUTH_NONE");
    line("starttls", field(CFG_STARTTLS).empty()
                         ? "(default: off)"
                         : (ConfigFieldToInt(f[CFG_STARTTLS]) == 1 ? "on" : "off"));
    line("cert flags", field(CFG_CERT_FLAGS).empty() ? "(default: 0)" : field(CFG_CERT_FLAGS));
    named("body format", CFG_BODY_FORMAT, g_BodyFormatNames, 2, "0 TEXT");
    named("priority", CFG_PRIORITY, g_PriorityNames, 3, "2 Normal");
    for (const TextOption& o : kTextOptions) {
        if (o.field < CFG_OAUTH_CLIENT_SECRET)
            continue;
        bool secret = o.field == CFG_OAUTH_CLIENT_SECRET && !field(o.field).empty();
        line(o.label, secret ? "********" : field(o.field));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The product is a 32-bit DLL: this tool, whatever its own build, reads
    // and writes the registry view that DLL sees.
    platform::SetRegistryView(KEY_WOW64_32KEY);
    std::vector<std::u16string> fields(CFG_FIELD_COUNT);
    std::u16string password;
    Target target;
    std::vector<bool> given(CFG_FIELD_COUNT, false);
    bool show = false, update = false, anySetting = false, passwordGiven = false;
    int targets = 0;

    // The enumerated settings: a name of the provider's table, an alias or the number.
    struct NamedOption {
        const char* name;
        ConfigField field;
        const SettingName* table;
        size_t count;
        std::map<std::string, int> aliases;
        const char* what;
    };
    const NamedOption namedOptions[] = {
        {"--auth",
         CFG_AUTH_METHOD,
         g_AuthMethodNames,
         6,
         {{"none", 0}, {"cram-md5", 1}, {"login", 2}, {"plain", 3}, {"ntlm", 4}, {"oauth2", 5}},
         "authentication method"},
        {"--priority",
         CFG_PRIORITY,
         g_PriorityNames,
         3,
         {{"low", 1}, {"normal", 2}, {"high", 3}},
         "priority"},
        {"--body-format",
         CFG_BODY_FORMAT,
         g_BodyFormatNames,
         2,
         {{"text", 0}, {"html", 1}},
         "body format"},
    };
    auto setNumber = [&](ConfigField field, long long number) {
        given[field] = true;
        fields[field] = platform::Utf8ToUtf16(std::to_string(number));
    };

    const std::vector<std::string> args = toolargs::Utf8Arguments(argc, argv);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        if (opt == "--help" || opt == "-h") {
            Usage(stdout);
            return 0;
        }
        if (opt == "--show") {
            show = true;
            continue;
        }
        if (opt == "--update") {
            update = true;
            continue;
        }
        if (i + 1 >= args.size())
            return BadArguments("option " + opt + " needs a value");
        std::string value = args[++i];
        std::u16string wide = platform::Utf8ToUtf16(value);

        if (opt == "--file" || opt == "--dir") {
            ++targets;
            target.file = opt == "--file"
                              ? value
                              : (value.empty() || value.back() == '/' || value.back() == '\\'
                                     ? value
                                     : value + toolargs::kPathSeparator) +
                                    kFileName;
            continue;
        }
        if (opt == "--registry") {
            ++targets;
            std::string hive = Lower(value);
            if (hive == "hkcu" || hive == "hkey_current_user") {
                target.root = HKEY_CURRENT_USER;
                target.rootName = "HKEY_CURRENT_USER";
            } else if (hive == "hklm" || hive == "hkey_local_machine") {
                target.root = HKEY_LOCAL_MACHINE;
                target.rootName = "HKEY_LOCAL_MACHINE";
            } else {
                return BadArguments("--registry takes hkcu or hklm, not '" + value + "'");
            }
            continue;
        }
        if (opt == "--registry-root") {
#if defined(_WIN32)
            return BadArguments(
                "--registry-root is for the POSIX registry stand-in; Windows has its own");
#else
            platform::SetRegistryRoot(value);
            continue;
#endif
        }

        // Settings from here on.
        if (std::any_of(wide.begin(), wide.end(), IsConfigSeparatorChar))
            return BadArguments("the characters \u00C2 and \u00A7 cannot be stored (" + opt + ")");
        anySetting = true;
        bool known = false;
        for (const TextOption& o : kTextOptions) {
            if (opt == o.name) {
                fields[o.field] = wide;
                given[o.field] = true;
                known = true;
            }
        }
        for (const NamedOption& o : namedOptions) {
            if (opt != o.name)
                continue;
            int v = 0;
            if (!LookupName(o.table, o.count, o.aliases, value, v))
                return BadArguments(std::string("unknown ") + o.what + " '" + value + "'");
            setNumber(o.field, v);
            known = true;
        }
        if (known)
            continue;
        long long n = 0;
        if (opt == "--password") {
            password = wide;
            passwordGiven = true;
        } else if (opt == "--port") {
            if (!ParseNumber(value, 1, 65535, n))
                return BadArguments("--port takes 1..65535, not '" + value + "'");
            setNumber(CFG_PORT, n);
        } else if (opt == "--starttls") {
            std::string s = Lower(value);
            given[CFG_STARTTLS] = true;
            if (s == "on" || s == "1" || s == "yes" || s == "true")
                fields[CFG_STARTTLS] = u"1";
            else if (s == "off" || s == "0" || s == "no" || s == "false")
                fields[CFG_STARTTLS] = u"0";
            else
                return BadArguments("--starttls takes on or off, not '" + value + "'");
        } else if (opt == "--cert-flags") {
            // The provider reads the field as a signed decimal number.
            if (!ParseNumber(value, 0, 0x7FFFFFFF, n))
                return BadArguments("--cert-flags takes a number 0..0x7FFFFFFF, not '" + value +
                                    "'");
            setNumber(CFG_CERT_FLAGS, n);
        } else {
            return BadArguments("unknown option " + opt);
        }
    }

    if (targets != 1)
        return BadArguments("give exactly one of --file, --dir and --registry");
    if (show) {
        if (anySetting || update)
            return BadArguments("--show takes no settings");
        return Show(target);
    }
    if (update) {
        CMailCfg current;
        if (!LoadStore(target, current))
            return Fail("cannot read a store to update from " + target.Describe());
        std::vector<std::u16string> old = SplitConfigText(current.m_strText1);
        for (size_t i = 0; i < CFG_FIELD_COUNT && i < old.size(); ++i)
            if (!given[i])
                fields[i] = old[i];
        if (!passwordGiven)
            password = current.m_strText2;
    }
    if (fields[CFG_HOST].empty())
        return BadArguments("--host is required");

    CMailCfg cfg;
    cfg.m_strText1 = JoinConfigText(fields);
    cfg.m_strText2 = password;
    if (cfg.m_strText1.size() > kMaxChars)
        return BadArguments("the settings exceed the store's 1024 characters");
    if (cfg.m_strText2.size() > kMaxChars)
        return BadArguments("the password exceeds the store's 1024 characters");

    if (!SaveStore(target, cfg))
        return Fail("cannot write the store to " + target.Describe());
    std::printf("store written to %s\n", target.Describe().c_str());
    return 0;
}
