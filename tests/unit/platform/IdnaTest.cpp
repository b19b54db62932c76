// Where the systems' IDNA differ (the send tests show what they share): on
// Linux libidn2 keeps "ß" (UTS #46, nontransitional); on Windows ICU comes
// before IdnToAscii, whose IDNA2003 maps "ß" to "ss". Wine has no ICU: its
// calls are substituted for this program's own imports.
#if defined(_WIN32)
#include <windows.h>
#endif
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include "ImportPatch.h"
#endif
#include "platform/Idna.h"

namespace {

const char16_t* const kStrasse = u"anna@stra\u00dfe.example";

#if !defined(_WIN32)
TEST(IdnaTest, SharpSKeepsALabelOfItsOwn) {
    std::u16string ascii;
    ASSERT_TRUE(platform::AddressToAscii(kStrasse, ascii));
    EXPECT_EQ(ascii, u"anna@xn--strae-oqa.example");
}
#else
// ICU as this program finds it: "icu.dll" is a module that stands in, whose
// uidna functions note the options and the instances open, and answer as ICU
// does: "straße.example" with its A-label, any other name refused as ICU
// refuses a joiner out of context (UIDNA_ERROR_CONTEXTJ).
struct Icu {
    struct Info {  // UIDNAInfo
        int16_t size;
        int8_t transitionalDifferent, reserved;
        uint32_t errors;
        int32_t reserved2, reserved3;
    };
    static inline ImportPatch *load = nullptr, *proc = nullptr;
    static inline DWORD dwLoadFlags = 0;
    static inline uint32_t options = 0;
    static inline int nOpen = 0;  // instances not closed

    static HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
        const auto original = load->Original<decltype(&::LoadLibraryExW)>();
        if (::lstrcmpiW(name, L"icu.dll") != 0)
            return original(name, file, flags);
        dwLoadFlags = flags;
        return original(L"kernel32.dll", file, flags);
    }
    static FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
        const std::pair<const char*, void*> uidna[] = {
            {"uidna_openUTS46", reinterpret_cast<void*>(&Open)},
            {"uidna_nameToASCII", reinterpret_cast<void*>(&ToAscii)},
            {"uidna_close", reinterpret_cast<void*>(&Close)}};
        for (const auto& [function, standIn] : uidna) {
            if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 &&
                std::strcmp(name, function) == 0 && module == ::GetModuleHandleW(L"kernel32.dll"))
                return reinterpret_cast<FARPROC>(standIn);
        }
        return proc->Original<decltype(&::GetProcAddress)>()(module, name);
    }
    static void* __cdecl Open(uint32_t nOptions, int* pError) {
        ++nOpen;
        options = nOptions;
        *pError = 0;
        return &options;
    }
    static int32_t __cdecl ToAscii(const void*, const char16_t* pName, int32_t nLength,
                                   char16_t* pDest, int32_t nCapacity, Info* pInfo, int* pError) {
        const std::u16string answer = std::u16string(pName, nLength) == u"stra\u00dfe.example"
                                          ? u"xn--strae-oqa.example"
                                          : u"";
        pInfo->errors = answer.empty() ? 0x1000 : 0;
        *pError = 0;
        return static_cast<int32_t>(answer.copy(pDest, nCapacity));
    }
    static void __cdecl Close(void*) { --nOpen; }
};

TEST(IdnaTest, IcuFromSystem32ComesBeforeIdnToAscii) {
    const HMODULE self = ::GetModuleHandleW(nullptr);
    ImportPatch load(self, "KERNEL32.dll", "LoadLibraryExW",
                     reinterpret_cast<const void*>(&Icu::LoadLibraryExW));
    ImportPatch proc(self, "KERNEL32.dll", "GetProcAddress",
                     reinterpret_cast<const void*>(&Icu::GetProcAddress));
    ASSERT_EQ(load.Error() + proc.Error(), "");
    Icu::load = &load;
    Icu::proc = &proc;
    std::u16string ascii;
    ASSERT_TRUE(platform::AddressToAscii(kStrasse, ascii));
    EXPECT_EQ(ascii, u"anna@xn--strae-oqa.example");
    // IdnToAscii would drop the joiner and take the name: ICU's refusal stands.
    EXPECT_FALSE(platform::AddressToAscii(u"anna@x\u200dy\u00e4.example", ascii));
    EXPECT_EQ(Icu::dwLoadFlags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    // STD3 rules, the BiDi and CONTEXTJ checks, nontransitional processing.
    EXPECT_EQ(Icu::options, 0x1Eu);
    EXPECT_EQ(Icu::nOpen, 0);
}
#endif

}  // namespace
