#include "platform/Charsets.h"

namespace platform {

namespace {

struct Charset {
    const char* name;
    UINT codePage;
};

// The charsets mail readers know that Windows converts to.
constexpr Charset kCharsets[] = {
    {"us-ascii", 20127},    {"iso-8859-1", 28591},  {"iso-8859-2", 28592},   {"iso-8859-4", 28594},
    {"iso-8859-5", 28595},  {"iso-8859-7", 28597},  {"iso-8859-9", 28599},   {"iso-8859-13", 28603},
    {"iso-8859-15", 28605}, {"windows-1250", 1250}, {"windows-1251", 1251},  {"windows-1252", 1252},
    {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255},  {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258}, {"koi8-r", 20866},       {"koi8-u", 21866},
    {"shift_jis", 932},     {"euc-jp", 51932},      {"gb2312", 936},         {"gbk", 936},
    {"big5", 950},          {"euc-kr", 51949},      {"ks_c_5601-1987", 949},
};

const Charset* Find(std::u16string_view charset) {
    for (const Charset& c : kCharsets) {
        const std::string_view name(c.name);
        bool bSame = name.size() == charset.size();
        for (size_t i = 0; bSame && i < name.size(); ++i) {
            const char16_t ch = charset[i] >= u'A' && charset[i] <= u'Z'
                                    ? static_cast<char16_t>(charset[i] + 32)
                                    : charset[i];
            bSame = ch == static_cast<unsigned char>(name[i]);
        }
        if (bSame)
            return &c;
    }
    return nullptr;
}

}  // namespace

UINT CodePageOfCharset(std::u16string_view charset) {
    const Charset* c = Find(charset);
    return c != nullptr ? c->codePage : 0;
}

bool EncodeInCharset(std::u16string_view text, std::u16string_view charset, std::string& bytes) {
    bytes.clear();
    const Charset* c = Find(charset);
    return c != nullptr && EncodeInCodePage(text, c->codePage, c->name, bytes);
}

}  // namespace platform
