// The INI profile reader on any file: every section and key it lists can be
// read, each copy stays within its buffer and ends in NUL, a short buffer
// gets the start of the value, and the whole-section reader of vx.ini
// (CIniSection) gives the same values and numbers.
#include <cstdint>
#include <string>
#include <vector>

#include "Require.h"
#include "ScratchFolder.h"
#include "config/CIniSection.h"
#include "platform/Profile.h"
#include "platform/Utf.h"

using namespace fuzzing;

namespace {

// Larger than any value of an input (inputs stay within 4096 bytes).
constexpr DWORD kLarge = 8192;
// Lists are long enough with this many names.
constexpr std::size_t kMaxNames = 4;

// The names of a NUL-separated list, as the profile functions give them.
std::vector<std::u16string> Names(const std::u16string& list, DWORD nCopied) {
    std::vector<std::u16string> names;
    std::size_t start = 0;
    while (start < nCopied && names.size() < kMaxNames) {
        const std::size_t end = list.find(u'\0', start);
        names.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

DWORD Read(const char16_t* section, const char16_t* key, std::u16string& out, DWORD nSize,
           const std::u16string& file) {
    out.assign(nSize, u'\x1');
    const DWORD n = platform::GetPrivateProfileStringW(section, key, u"<none>", out.data(), nSize,
                                                       file.c_str());
    FUZZ_REQUIRE(nSize == 0 || n < nSize);
    FUZZ_REQUIRE(nSize == 0 || out[n] == u'\0');
    out.resize(n);
    return n;
}

// bCompare: the readers must agree. A NUL character in the file splits the
// lists both work from at different places, so there they only must not fail.
void CheckSection(const std::u16string& section, const std::u16string& file, DWORD nSmall,
                  bool bCompare) {
    std::u16string list;
    const DWORD n = Read(section.c_str(), nullptr, list, kLarge, file);
    CIniSection whole;
    const bool bRead = whole.Read(file, section.c_str());
    for (const std::u16string& key : Names(list, n)) {
        std::u16string value;
        Read(section.c_str(), key.c_str(), value, kLarge, file);
        std::u16string start;
        Read(section.c_str(), key.c_str(), start, nSmall, file);
        FUZZ_REQUIRE(value.compare(0, start.size(), start) == 0);
        // A line without "=" is a key without a value to the profile
        // functions and no entry to the section reader.
        std::u16string fromSection;
        if (!bRead || !whole.GetString(key.c_str(), fromSection)) {
            FUZZ_REQUIRE(!bCompare || value.empty());
            continue;
        }
        if (!bCompare)
            continue;
        FUZZ_REQUIRE(fromSection == value);
        FUZZ_REQUIRE(static_cast<int>(platform::GetPrivateProfileIntW(section.c_str(), key.c_str(),
                                                                      -7, file.c_str())) ==
                     whole.GetInt(key.c_str(), -7));
    }
    std::u16string pairs(nSmall, u'\x1');
    const DWORD m =
        platform::GetPrivateProfileSectionW(section.c_str(), pairs.data(), nSmall, file.c_str());
    // The copy ends in two NULs within the buffer: the last pair's and one
    // more, or two after a cut.
    FUZZ_REQUIRE(nSmall == 0 ||
                 (m < nSmall && pairs[m] == u'\0' &&
                  (m == 0 || pairs[m - 1] == u'\0' || (m + 1 < nSmall && pairs[m + 1] == u'\0'))));
}

// Whether the text holds a NUL character: a NUL byte, or in UTF-16 (with its
// byte-order mark) a NUL code unit.
bool HasNul(const std::string& bytes) {
    if (bytes.compare(0, 2, "\xFF\xFE") != 0)
        return bytes.find('\0') != std::string::npos;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        if (bytes[i] == 0 && bytes[i + 1] == 0)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const DWORD nSmall = data[0] % 24;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool bCompare = !HasNul(bytes);
    const std::string path = WriteScratchFile("vx.ini", bytes);
    const std::u16string file = platform::Utf8ToUtf16(path);
    std::u16string sections;
    const DWORD n = Read(nullptr, nullptr, sections, kLarge, file);
    std::u16string shortList;
    Read(nullptr, nullptr, shortList, nSmall, file);
    for (const std::u16string& section : Names(sections, n))
        CheckSection(section, file, nSmall, bCompare);
    CheckSection(u"SMTP", file, nSmall, bCompare);
    return 0;
}
