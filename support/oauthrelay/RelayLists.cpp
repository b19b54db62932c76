#include "RelayLists.h"

#include "TextConvert.h"

namespace oauthrelay {

MailAddress ParseAddress(std::string_view entry) {
    MailAddress out;
    const std::string text = Trim(entry);
    const size_t open = text.rfind('<');
    if (open == std::string::npos || text.back() != '>') {
        out.strAddress = text;
        return out;
    }
    out.strAddress = Trim(std::string_view(text).substr(open + 1, text.size() - open - 2));
    std::string name = Trim(std::string_view(text).substr(0, open));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
        std::string unquoted;
        for (size_t i = 1; i + 1 < name.size(); ++i) {
            if (name[i] == '\\' && i + 2 < name.size()) {
                ++i;
            }
            unquoted += name[i];
        }
        name = unquoted;
    }
    out.strName = name;
    return out;
}

namespace {

// Field names may hold any printable character but the colon; ";" is left out
// here because it separates the lines of the list.
bool IsFieldNameChar(char c) {
    return c >= 33 && c <= 126 && c != ':' && c != ';';
}

// Does a header line start at this position (a field name and its colon), or
// does the list end there? Blanks and further separators do not count.
bool HeaderStartsAt(std::string_view text, size_t pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == ';')) {
        ++pos;
    }
    if (pos == text.size()) {
        return true;
    }
    const size_t start = pos;
    while (pos < text.size() && IsFieldNameChar(text[pos])) {
        ++pos;
    }
    if (pos == start || pos >= text.size() || text[pos] != ':') {
        return false;
    }
    // "...;http://host" is a URL inside a value, not a field named http.
    return !(pos + 1 < text.size() && text[pos + 1] == '/');
}

}  // namespace

std::vector<MailAddress> SplitAddressList(std::string_view list) {
    std::vector<MailAddress> out;
    const auto flush = [&](size_t from, size_t to) {
        const std::string_view entry = list.substr(from, to - from);
        if (!Trim(entry).empty()) {
            out.push_back(ParseAddress(entry));
        }
    };
    bool quoted = false;
    bool angle = false;
    size_t start = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (quoted) {
            if (c == '\\') {
                ++i;  // the escaped character belongs to the name
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            angle = true;
        } else if (c == '>') {
            angle = false;
        } else if (!angle && (c == ';' || c == ',')) {
            flush(start, i);
            start = i + 1;
        }
    }
    if (start < list.size()) {
        flush(start, list.size());
    }
    return out;
}

std::string AddressProblem(std::string_view address) {
    if (address.empty()) {
        return "it is empty";
    }
    const size_t at = address.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) {
        return "it is not of the form name@domain";
    }
    const std::string_view local = address.substr(0, at);
    const std::string_view domain = address.substr(at + 1);
    if (local.size() > 64 || domain.size() > 255) {
        return "it is too long";
    }
    // Bytes beyond ASCII are the UTF-8 of a local part (RFC 6531); the domain
    // comes as A-labels.
    for (char c : address) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 127 || c == '<' || c == '>' || c == '(' ||
            c == ')' || c == ',' || c == ';' || c == '\\' || c == '"') {
            return "it holds a blank, a control character or one of <>(),;\\\"";
        }
    }
    if (local.find('@') != std::string_view::npos || local.front() == '.' || local.back() == '.' ||
        local.find("..") != std::string_view::npos) {
        return "its local part is not valid";
    }
    if (domain.front() == '[') {
        if (domain.back() != ']' || domain.size() < 3) {
            return "its domain literal is not closed";
        }
        return {};
    }
    if (domain.front() == '.' || domain.back() == '.' ||
        domain.find("..") != std::string_view::npos) {
        return "its domain is not valid";
    }
    for (char c : domain) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!ok) {
            return "its domain is not valid";
        }
    }
    return {};
}

std::vector<std::string> SplitFileList(std::string_view list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        std::string path = Trim(list.substr(start, end - start));
        if (!path.empty()) {
            out.push_back(std::move(path));
        }
        start = end + 1;
    }
    return out;
}

std::vector<std::string> SplitHeaderList(std::string_view list) {
    std::vector<std::string> out;
    size_t start = 0;
    size_t pos = 0;
    while (pos <= list.size()) {
        const bool end = pos == list.size();
        if (end || (list[pos] == ';' && HeaderStartsAt(list, pos + 1))) {
            std::string line = Trim(list.substr(start, pos - start));
            if (!line.empty()) {
                out.push_back(std::move(line));
            }
            start = pos + 1;
        }
        ++pos;
    }
    return out;
}

std::string FileNameOfPath(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace oauthrelay
