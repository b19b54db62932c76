#include "JsonObject.h"

#include <charconv>

#include "TextConvert.h"

namespace oauthrelay {

// Recursive descent over RFC 8259 text. Depth is limited so that hostile
// input cannot exhaust the stack.
class JsonParser {
public:
    explicit JsonParser(std::string_view text) : m_Text(text) {}

    bool ParseObject(JsonObject& object) {
        SkipSpace();
        if (!Take('{')) {
            return false;
        }
        SkipSpace();
        if (Take('}')) {
            return AtEnd();
        }
        for (;;) {
            SkipSpace();
            std::string name;
            if (!ParseString(name)) {
                return false;
            }
            SkipSpace();
            if (!Take(':')) {
                return false;
            }
            SkipSpace();
            JsonObject::Member member{JsonObject::Kind::Other, {}};
            if (Peek() == '"') {
                member.nKind = JsonObject::Kind::String;
                if (!ParseString(member.strValue)) {
                    return false;
                }
            } else if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) {
                member.nKind = JsonObject::Kind::Number;
                if (!ParseNumber(member.strValue)) {
                    return false;
                }
            } else if (!SkipValue(1)) {
                return false;
            }
            // A repeated name: the last one counts, as in most parsers.
            object.m_Members[name] = std::move(member);
            SkipSpace();
            if (Take(',')) {
                continue;
            }
            if (Take('}')) {
                return AtEnd();
            }
            return false;
        }
    }

private:
    static constexpr int kMaxDepth = 64;

    std::string_view m_Text;
    size_t m_nPos = 0;

    char Peek() const { return m_nPos < m_Text.size() ? m_Text[m_nPos] : '\0'; }

    bool Take(char c) {
        if (m_nPos < m_Text.size() && m_Text[m_nPos] == c) {
            ++m_nPos;
            return true;
        }
        return false;
    }

    bool TakeWord(std::string_view word) {
        if (m_Text.substr(m_nPos, word.size()) == word) {
            m_nPos += word.size();
            return true;
        }
        return false;
    }

    void SkipSpace() {
        while (m_nPos < m_Text.size() && (m_Text[m_nPos] == ' ' || m_Text[m_nPos] == '\t' ||
                                          m_Text[m_nPos] == '\r' || m_Text[m_nPos] == '\n')) {
            ++m_nPos;
        }
    }

    bool AtEnd() {
        SkipSpace();
        return m_nPos == m_Text.size();
    }

    static int HexValue(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    bool ParseHex4(unsigned& value) {
        if (m_nPos + 4 > m_Text.size()) {
            return false;
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = HexValue(m_Text[m_nPos++]);
            if (h < 0) {
                return false;
            }
            value = (value << 4) | static_cast<unsigned>(h);
        }
        return true;
    }

    bool ParseString(std::string& out) {
        if (!Take('"')) {
            return false;
        }
        while (m_nPos < m_Text.size()) {
            const char c = m_Text[m_nPos++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;  // control characters must be escaped
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_nPos >= m_Text.size()) {
                return false;
            }
            const char e = m_Text[m_nPos++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned cp = 0;
                    if (!ParseHex4(cp)) {
                        return false;
                    }
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        unsigned low = 0;
                        const size_t save = m_nPos;
                        if (TakeWord("\\u") && ParseHex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            m_nPos = save;
                            cp = 0xFFFD;
                        }
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        cp = 0xFFFD;
                    }
                    AppendUtf8(out, static_cast<char32_t>(cp));
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool ParseNumber(std::string& out) {
        const size_t start = m_nPos;
        Take('-');
        if (Take('0')) {
            // no further leading digits
        } else if (Peek() >= '1' && Peek() <= '9') {
            while (Peek() >= '0' && Peek() <= '9') {
                ++m_nPos;
            }
        } else {
            return false;
        }
        if (Take('.')) {
            if (!(Peek() >= '0' && Peek() <= '9')) {
                return false;
            }
            while (Peek() >= '0' && Peek() <= '9') {
                ++m_nPos;
            }
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++m_nPos;
            if (Peek() == '+' || Peek() == '-') {
                ++m_nPos;
            }
            if (!(Peek() >= '0' && Peek() <= '9')) {
                return false;
            }
            while (Peek() >= '0' && Peek() <= '9') {
                ++m_nPos;
            }
        }
        out.assign(m_Text.substr(start, m_nPos - start));
        return true;
    }

    bool SkipValue(int nDepth) {
        if (nDepth > kMaxDepth) {
            return false;
        }
        SkipSpace();
        const char c = Peek();
        if (c == '"') {
            std::string ignored;
            return ParseString(ignored);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::string ignored;
            return ParseNumber(ignored);
        }
        if (TakeWord("true") || TakeWord("false") || TakeWord("null")) {
            return true;
        }
        const char close = c == '{' ? '}' : c == '[' ? ']' : '\0';
        if (close == '\0') {
            return false;
        }
        ++m_nPos;
        SkipSpace();
        if (Take(close)) {
            return true;
        }
        for (;;) {
            SkipSpace();
            if (close == '}') {
                std::string ignored;
                if (!ParseString(ignored)) {
                    return false;
                }
                SkipSpace();
                if (!Take(':')) {
                    return false;
                }
            }
            if (!SkipValue(nDepth + 1)) {
                return false;
            }
            SkipSpace();
            if (Take(',')) {
                continue;
            }
            return Take(close);
        }
    }
};

std::optional<JsonObject> JsonObject::Parse(std::string_view text) {
    JsonObject object;
    JsonParser parser(text);
    if (!parser.ParseObject(object)) {
        return std::nullopt;
    }
    return object;
}

std::optional<std::string> JsonObject::GetString(const std::string& strName) const {
    const auto it = m_Members.find(strName);
    if (it == m_Members.end() || it->second.nKind != Kind::String) {
        return std::nullopt;
    }
    return it->second.strValue;
}

std::optional<long long> JsonObject::GetInteger(const std::string& strName) const {
    const auto it = m_Members.find(strName);
    if (it == m_Members.end() || it->second.nKind == Kind::Other) {
        return std::nullopt;
    }
    const std::string& text = it->second.strValue;
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;  // a fraction, an exponent, or not a number at all
    }
    return value;
}

}  // namespace oauthrelay
