#include "CommandLine.h"

#include <filesystem>
#include <system_error>

namespace sendtool {

namespace {

namespace fs = std::filesystem;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec);
    return ec ? path : p.lexically_normal().string();
}

bool CheckReadableFile(const std::string& what, const std::string& path, std::string& error) {
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) {
        error = what + " '" + path + "' does not exist";
        return false;
    }
    if (!fs::is_regular_file(st)) {
        error = what + " '" + path + "' is not a regular file";
        return false;
    }
    return true;
}

bool ParsePriority(const std::string& value, int& out, std::string& error) {
    std::string v = Lower(value);
    if (v == "low") {
        out = 1;
    } else if (v == "normal") {
        out = 2;
    } else if (v == "high") {
        out = 3;
    } else {
        error = "--priority takes low, normal or high, not '" + value + "'";
        return false;
    }
    return true;
}

bool ParseNotify(const std::string& value, Options& out, std::string& error) {
    out.bNotifySuccess = false;
    out.bNotifyFailure = false;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        std::string word = Lower(Trim(
            value.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (word == "success") {
            out.bNotifySuccess = true;
        } else if (word == "failure") {
            out.bNotifyFailure = true;
        } else if (word != "never") {
            error =
                "--notify takes success, failure, success,failure or never, not '" + value + "'";
            return false;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

// Options that take a value.
bool TakesValue(const std::string& name) {
    static const char* const names[] = {"--to",       "--cc",     "--bcc",       "--from",
                                        "--subject",  "--body",   "--body-file", "--attach",
                                        "--priority", "--notify", "--config-dir"};
    for (const char* n : names) {
        if (name == n)
            return true;
    }
    return false;
}

}  // namespace

bool ParseAddress(const std::string& text, Address& out, std::string& error) {
    std::string t = Trim(text);
    out = Address{};
    size_t lt = t.rfind('<');
    if (lt == std::string::npos) {
        if (t.find('>') != std::string::npos) {
            error = "address '" + text + "' has a '>' without '<'";
            return false;
        }
        out.address = t;
    } else {
        if (t.back() != '>') {
            error = "address '" + text + "' must end with '>' after its '<'";
            return false;
        }
        out.address = Trim(t.substr(lt + 1, t.size() - lt - 2));
        std::string name = Trim(t.substr(0, lt));
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
            name = name.substr(1, name.size() - 2);
        }
        out.bHasName = !name.empty();
        out.name = name;
    }
    if (out.address.empty()) {
        error = "address '" + text + "' holds no e-mail address";
        return false;
    }
    if (out.address.find_first_of(" \t<>") != std::string::npos) {
        error = "e-mail address '" + out.address + "' may not contain blanks or angle brackets";
        return false;
    }
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, Options& out, std::string& error) {
    out = Options{};
    bool bConfigDirGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool bHasValue = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            bHasValue = true;
        }
        if (TakesValue(name)) {
            if (!bHasValue) {
                if (i + 1 >= args.size()) {
                    error = name + " needs a value";
                    return false;
                }
                value = args[++i];
            }
        } else if (bHasValue) {
            error = name + " takes no value";
            return false;
        }

        if (name == "--help" || name == "-h") {
            out.bHelp = true;
            return true;
        } else if (name == "--to" || name == "--cc" || name == "--bcc") {
            Address a;
            if (!ParseAddress(value, a, error))
                return false;
            (name == "--to" ? out.to : name == "--cc" ? out.cc : out.bcc).push_back(a);
        } else if (name == "--from") {
            if (!ParseAddress(value, out.from, error))
                return false;
            out.bHasFrom = true;
        } else if (name == "--subject") {
            out.subject = value;
        } else if (name == "--body" || name == "--body-file") {
            if (out.bodySource != BodySource::None) {
                error = "give the body once: --body or --body-file";
                return false;
            }
            if (name == "--body") {
                out.bodySource = BodySource::Text;
                out.body = value;
            } else {
                out.bodySource = BodySource::File;
                out.body = Absolute(value);
                if (!CheckReadableFile("body file", out.body, error))
                    return false;
            }
        } else if (name == "--html" || name == "--plain") {
            BodyFormat f = name == "--html" ? BodyFormat::Html : BodyFormat::Plain;
            if (out.format != BodyFormat::Configured && out.format != f) {
                error = "--html and --plain exclude each other";
                return false;
            }
            out.format = f;
        } else if (name == "--attach") {
            std::string path = Absolute(value);
            if (!CheckReadableFile("attachment", path, error))
                return false;
            out.attachments.push_back(path);
        } else if (name == "--priority") {
            if (!ParsePriority(value, out.priority, error))
                return false;
        } else if (name == "--receipt") {
            out.bReceipt = true;
        } else if (name == "--notify") {
            if (!ParseNotify(value, out, error))
                return false;
        } else if (name == "--config-dir") {
            out.configDir = value;
            bConfigDirGiven = true;
        } else {
            error = "unknown option '" + args[i] + "' (see --help)";
            return false;
        }
    }

    if (out.to.empty() && out.cc.empty() && out.bcc.empty()) {
        error = "no recipient: give at least one --to, --cc or --bcc";
        return false;
    }

    std::string dir = Absolute(bConfigDirGiven ? out.configDir : std::string("."));
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = "configuration folder '" + dir + "' does not exist";
        return false;
    }
    // The provider glues "vx.ini" straight onto this text, so it must end in
    // the separator.
    const char sep = static_cast<char>(fs::path::preferred_separator);
    if (dir.empty() || (dir.back() != sep && dir.back() != '/'))
        dir += sep;
    out.configDir = dir;
    return true;
}

std::string HelpText(const std::string& program) {
    return "Usage: " + program + R"( --to ADDRESS [options]

Sends one e-mail through the SMTP mail provider (libsmtpmail), loaded and
driven exactly as the host application does it: the library is opened from
the folder of this program, the Mail_ functions are looked up by name, and
the settings come from the provider's own configuration (smtp.cfg written by
smtpmail-cfg, or the [SMTP] section of vx.ini) in the configuration folder.

Recipients and sender (ADDRESS is "Name <user@example.org>" or a bare
user@example.org; quote it for the shell):
  --to ADDRESS          To recipient; repeat for more
  --cc ADDRESS          Cc recipient; repeat for more
  --bcc ADDRESS         Bcc recipient (envelope only); repeat for more
  --from ADDRESS        sender of this message; without it the configured
                        sender is used. A bare address keeps the configured
                        display name.

Content:
  --subject TEXT        subject line
  --body TEXT           body text
  --body-file PATH      body read by the provider from a file: UTF-8 with a
                        byte-order mark, UTF-16LE with a byte-order mark, or
                        (without a mark) Windows-1252
  --html                the body is HTML
  --plain               the body is plain text
                        (neither: the body format of the configuration)
  --attach PATH         attach a file; repeat for more
  --priority LEVEL      low, normal or high (X-Priority 5, 3, 1);
                        without it the message has no priority line
  --receipt             ask for a read receipt (Disposition-Notification-To)
  --notify WHEN         delivery status notification: success, failure,
                        success,failure or never (RCPT TO ... NOTIFY=)

Configuration:
  --config-dir DIR      folder holding smtp.cfg and vx.ini (default: the
                        current folder); used as the primary and the
                        secondary folder of the provider

  -h, --help            this text

Output: warnings and progress notes of the provider are printed to standard
error with their log level; the result goes to standard output. When the
send fails, the provider's error report (Mail_Execute command 1001) is
printed as well.

Exit status: 0 sent; 1 the provider refused or failed the send; 2 bad
command line; 3 the provider could not be loaded or initialised.

Example:
  smtpmail-cfg --dir . --host smtp.example.org --port 587 \
      --starttls on --auth plain --user me --password secret \
      --sender-name "Me" --sender-address me@example.org
  )" + program +
           R"( --config-dir . --to "You <you@example.org>" \
      --subject "Hello" --body "Hello there" --attach report.pdf
)";
}

}  // namespace sendtool
