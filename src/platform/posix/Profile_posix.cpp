#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/AnsiCodePage.h"
#include "platform/Files.h"
#include "platform/NameCase.h"
#include "platform/Profile.h"
#include "platform/Utf.h"
#include "platform/posix/RegularFile_posix.h"

namespace platform {

namespace {

struct Entry {
    std::u16string key;
    std::u16string value;
};

struct Section {
    std::u16string name;
    std::vector<Entry> entries;
};

bool ReadFileBytes(const char16_t* pszFile, std::string& bytes) {
    if (pszFile == nullptr || *pszFile == 0)
        return false;
    DWORD dwError = 0;
    int fd = OpenRegularFileForReading(NativePath(pszFile), &dwError);
    if (fd < 0)
        return false;
    char chunk[8192];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool IsValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        if (c < 0x80)
            extra = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            extra = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            extra = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            extra = 3;
        else
            return false;
        if (i + extra >= s.size() && extra > 0)
            return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

std::u16string DecodeText(const std::string& bytes) {
    std::u16string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 static_cast<unsigned char>(bytes[i + 1]) << 8));
        return text;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return Utf8ToUtf16(bytes.substr(3));
    bool ascii = true;
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    if (!ascii && IsValidUtf8(bytes))
        return Utf8ToUtf16(bytes);
    return AnsiToUtf16(bytes.data(), bytes.size());
}

std::u16string Trim(const std::u16string& s) {
    size_t b = s.find_first_not_of(u" \t\r");
    if (b == std::u16string::npos)
        return std::u16string();
    size_t e = s.find_last_not_of(u" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<Section> Parse(const std::u16string& text) {
    std::vector<Section> sections;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(u'\n', pos);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty())
            continue;
        if (line[0] == u'[') {
            size_t close = line.find(u']');
            std::u16string name = Trim(
                line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1));
            sections.push_back(Section{name, {}});
            continue;
        }
        if (sections.empty())
            continue;  // text before the first section belongs to none
        if (line[0] == u';')
            continue;  // a comment
        size_t eq = line.find(u'=');
        Entry e;
        if (eq == std::u16string::npos) {
            e.key = line;
        } else {
            e.key = Trim(line.substr(0, eq));
            e.value = Trim(line.substr(eq + 1));
        }
        sections.back().entries.push_back(e);
    }
    return sections;
}

DWORD CopyOut(const std::u16string& value, char16_t* out, DWORD nSize) {
    if (out == nullptr || nSize == 0)
        return 0;
    size_t n = value.size() < nSize - 1 ? value.size() : nSize - 1;
    for (size_t i = 0; i < n; ++i)
        out[i] = value[i];
    out[n] = 0;
    return static_cast<DWORD>(n);
}

// A list of names, each NUL-terminated, with a final NUL; cut to whole space.
DWORD CopyList(const std::vector<std::u16string>& names, char16_t* out, DWORD nSize) {
    if (out == nullptr || nSize == 0)
        return 0;
    if (nSize == 1) {
        out[0] = 0;
        return 0;
    }
    std::u16string all;
    for (const std::u16string& n : names) {
        all += n;
        all.push_back(0);
    }
    if (all.size() + 1 <= nSize) {
        for (size_t i = 0; i < all.size(); ++i)
            out[i] = all[i];
        out[all.size()] = 0;
        return static_cast<DWORD>(all.size());
    }
    DWORD n = nSize - 2;
    for (DWORD i = 0; i < n; ++i)
        out[i] = all[i];
    out[n] = 0;
    out[n + 1] = 0;
    return n;
}

std::u16string StripQuotes(const std::u16string& value) {
    if (value.size() > 1 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

DWORD GetPrivateProfileStringW(const char16_t* pszSection, const char16_t* pszKey,
                               const char16_t* pszDefault, char16_t* pszReturned, DWORD nSize,
                               const char16_t* pszFile) {
    std::string bytes;
    std::vector<Section> sections;
    if (ReadFileBytes(pszFile, bytes))
        sections = Parse(DecodeText(bytes));

    if (pszSection == nullptr) {
        std::vector<std::u16string> names;
        for (const Section& s : sections)
            names.push_back(s.name);
        return CopyList(names, pszReturned, nSize);
    }
    std::u16string section = Trim(pszSection);
    const Section* found = nullptr;
    for (const Section& s : sections) {
        if (SameNameIgnoringCase(s.name, section)) {
            found = &s;
            break;
        }
    }
    if (pszKey == nullptr) {
        std::vector<std::u16string> names;
        if (found != nullptr)
            for (const Entry& e : found->entries)
                names.push_back(e.key);
        return CopyList(names, pszReturned, nSize);
    }
    std::u16string key = Trim(pszKey);
    if (found != nullptr) {
        for (const Entry& e : found->entries)
            if (SameNameIgnoringCase(e.key, key))
                return CopyOut(StripQuotes(e.value), pszReturned, nSize);
    }
    // The default loses its trailing blanks, as Windows does.
    std::u16string def = pszDefault != nullptr ? std::u16string(pszDefault) : std::u16string();
    size_t last = def.find_last_not_of(u' ');
    def.resize(last == std::u16string::npos ? 0 : last + 1);
    return CopyOut(def, pszReturned, nSize);
}

DWORD GetPrivateProfileSectionW(const char16_t* pszSection, char16_t* pszReturned, DWORD nSize,
                                const char16_t* pszFile) {
    std::string bytes;
    std::vector<Section> sections;
    if (pszSection != nullptr && ReadFileBytes(pszFile, bytes))
        sections = Parse(DecodeText(bytes));
    std::vector<std::u16string> lines;
    const std::u16string section = pszSection != nullptr ? Trim(pszSection) : std::u16string();
    for (const Section& s : sections) {
        if (!SameNameIgnoringCase(s.name, section))
            continue;
        for (const Entry& e : s.entries)
            lines.push_back(e.key + u"=" + e.value);
        break;
    }
    return CopyList(lines, pszReturned, nSize);
}

UINT GetPrivateProfileIntW(const char16_t* pszSection, const char16_t* pszKey, int nDefault,
                           const char16_t* pszFile) {
    if (pszSection == nullptr || pszKey == nullptr)
        return static_cast<UINT>(nDefault);
    // The whole value, however long: its digits wrap the same way as the
    // section reader's (a cut copy fills the buffer but one).
    std::u16string buffer(64, u'\0');
    DWORD n = 0;
    while ((n = GetPrivateProfileStringW(pszSection, pszKey, u"", buffer.data(),
                                         static_cast<DWORD>(buffer.size()), pszFile)) ==
           buffer.size() - 1)
        buffer.assign(buffer.size() * 4, u'\0');
    if (n == 0)
        return static_cast<UINT>(nDefault);
    const char16_t* p = buffer.c_str();
    while (*p == u' ' || *p == u'\t')
        ++p;
    bool negative = false;
    if (*p == u'-' || *p == u'+')
        negative = *p++ == u'-';
    std::uint32_t value = 0;
    while (*p >= u'0' && *p <= u'9')
        value = value * 10 + static_cast<std::uint32_t>(*p++ - u'0');
    return negative ? static_cast<UINT>(0u - value) : static_cast<UINT>(value);
}

}  // namespace platform
