// IDNA through the system: ICU's UTS #46 with nontransitional processing
// where Windows has ICU (icu.dll from Windows 10 1903, icuuc.dll from 1703),
// else IdnToAscii, whose IDNA2003 maps "\u00df" to "ss" where UTS #46 keeps it.
#include <windows.h>

#include <cstdint>

#include "platform/DynamicLibrary.h"
#include "platform/Idna.h"
#include "platform/win32/WideText_win32.h"

namespace platform {

namespace {

// ICU's C interface (uidna.h), which the system's ICU exports with the C
// calling convention on every architecture.
struct UIDNA;
struct UIDNAInfo {
    int16_t size;
    int8_t isTransitionalDifferent;
    int8_t reservedB3;
    uint32_t errors;
    int32_t reservedI2;
    int32_t reservedI3;
};
using UErrorCode = int;  // above 0 a failure, below 0 a warning
using OpenUts46Fn = UIDNA*(__cdecl*)(uint32_t options, UErrorCode* pError);
using NameToAsciiFn = int32_t(__cdecl*)(const UIDNA* pIdna, const char16_t* pName, int32_t nLength,
                                        char16_t* pDest, int32_t nCapacity, UIDNAInfo* pInfo,
                                        UErrorCode* pError);
using CloseFn = void(__cdecl*)(UIDNA* pIdna);
// UIDNA_USE_STD3_RULES, UIDNA_CHECK_BIDI, UIDNA_CHECK_CONTEXTJ and
// UIDNA_NONTRANSITIONAL_TO_ASCII.
constexpr uint32_t kUts46Options = 0x02 | 0x04 | 0x08 | 0x10;
// A longer answer is no host name (253 characters at most) anyway.
constexpr int kMostChars = 256;

enum class Answer { Accepted, Refused, NoIcu };

template <typename F>
F Function(HMODULE hModule, const char* pszName) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(hModule, pszName)));
}

// Loaded for each conversion (only domains outside ASCII come here): the
// module stays only while it is used.
Answer IcuToAscii(const std::u16string& sDomain, std::u16string& sAscii) {
    HMODULE hIcu = LoadSystemLibrary(u"icu.dll");
    if (hIcu == nullptr)
        hIcu = LoadSystemLibrary(u"icuuc.dll");
    if (hIcu == nullptr)
        return Answer::NoIcu;
    const auto pOpen = Function<OpenUts46Fn>(hIcu, "uidna_openUTS46");
    const auto pToAscii = Function<NameToAsciiFn>(hIcu, "uidna_nameToASCII");
    const auto pClose = Function<CloseFn>(hIcu, "uidna_close");
    UErrorCode nError = 0;
    UIDNA* pIdna = pOpen != nullptr && pToAscii != nullptr && pClose != nullptr
                       ? pOpen(kUts46Options, &nError)
                       : nullptr;
    Answer answer = Answer::NoIcu;
    if (pIdna != nullptr && nError <= 0) {
        char16_t out[kMostChars];
        UIDNAInfo info{sizeof(UIDNAInfo), 0, 0, 0, 0, 0};
        const int32_t n = pToAscii(pIdna, sDomain.data(), static_cast<int32_t>(sDomain.size()), out,
                                   kMostChars, &info, &nError);
        answer = nError <= 0 && info.errors == 0 && n >= 0 && n <= kMostChars ? Answer::Accepted
                                                                              : Answer::Refused;
        if (answer == Answer::Accepted)
            sAscii.assign(out, static_cast<std::size_t>(n));
    }
    if (pIdna != nullptr)
        pClose(pIdna);
    ::FreeLibrary(hIcu);
    return answer;
}

}  // namespace

bool DomainToAscii(const std::u16string& sDomain, std::u16string& sAscii) {
    const Answer answer = IcuToAscii(sDomain, sAscii);
    if (answer != Answer::NoIcu)
        return answer == Answer::Accepted;
    // Without IDN_USE_STD3_ASCII_RULES: the host-name check after it asks the
    // same of the answer (and Wine's IdnToAscii refuses "b\u00fccher.example" under
    // that flag).
    wchar_t out[kMostChars];
    const int n = ::IdnToAscii(0, SysText(sDomain.c_str()), static_cast<int>(sDomain.size()), out,
                               kMostChars);
    if (n <= 0)
        return false;
    sAscii.assign(OwnText(out), static_cast<std::size_t>(n));
    return true;
}

}  // namespace platform
