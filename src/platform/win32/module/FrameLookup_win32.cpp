// Linked into each of our i686 DLLs (cmake/Windows.cmake), with the linker's
// --wrap=_Unwind_Find_FDE, so that the DLL's own C++ exceptions find their
// handlers whatever GCC runtime the host already holds.
//
// The DLLs carry libgcc statically, and with it an unwinder that looks up
// frame tables in a list of its own. The start-up code (crtbegin) registers
// the DLL's frame tables with a shared libgcc_s_dw2-1.dll instead when one is
// already in the process, as in a host built with the same toolchain's shared
// runtime: our unwinder then finds nothing and the first throw ends in
// std::terminate. A lookup that our own list cannot answer for an address of
// this DLL is therefore asked of that shared runtime, where the tables are.
#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" {
// The static unwinder's own lookup; the bases record is the same in every
// libgcc (text, data and function base).
const void* __real__Unwind_Find_FDE(void* pc, void* bases);
const void* __wrap__Unwind_Find_FDE(void* pc, void* bases);
}

namespace {

bool InThisModule(const void* pc) {
    HMODULE module = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<LPCWSTR>(pc), &module) &&
           module == reinterpret_cast<HMODULE>(&__ImageBase);
}

}  // namespace

const void* __wrap__Unwind_Find_FDE(void* pc, void* bases) {
    if (const void* fde = __real__Unwind_Find_FDE(pc, bases))
        return fde;
    if (!InThisModule(pc))
        return nullptr;
    HMODULE shared = ::GetModuleHandleW(L"libgcc_s_dw2-1.dll");
    if (shared == nullptr)
        return nullptr;
    auto find = reinterpret_cast<const void* (*)(void*, void*)>(
        reinterpret_cast<void*>(::GetProcAddress(shared, "_Unwind_Find_FDE")));
    return find == nullptr ? nullptr : find(pc, bases);
}
