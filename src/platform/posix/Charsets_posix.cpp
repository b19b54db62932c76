#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/Charsets.h"

namespace platform {

// iconv by the charset's name, without transliteration: a character the
// charset lacks ends the conversion.
bool EncodeInCodePage(std::u16string_view text, UINT /*codePage*/, const char* name,
                      std::string& bytes) {
    bytes.clear();
    iconv_t cd = ::iconv_open(name, "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::u16string input(text);
    char* in = reinterpret_cast<char*>(input.data());
    size_t inLeft = input.size() * sizeof(char16_t);
    std::string out(input.size() * 4 + 16, '\0');
    char* to = out.data();
    size_t outLeft = out.size();
    bool bDone = true;
    while (inLeft > 0 && bDone) {
        if (::iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1))
            break;
        if (errno != E2BIG) {
            bDone = false;
            break;
        }
        const size_t used = out.size() - outLeft;
        out.resize(out.size() * 2);
        to = out.data() + used;
        outLeft = out.size() - used;
    }
    // The shift back to the initial state of a stateful charset.
    bDone = bDone && ::iconv(cd, nullptr, nullptr, &to, &outLeft) != static_cast<size_t>(-1);
    ::iconv_close(cd);
    if (!bDone)
        return false;
    out.resize(out.size() - outLeft);
    bytes.swap(out);
    return true;
}

}  // namespace platform
