// A stand-in for a Windows service that Wine cannot show, with no switch in
// the product: while the object lives, the module's import address table entry
// for the function points at the substitute; other modules are untouched.
#pragma once

#include <windows.h>

#include <string>

// The provider DLL: the module whose imports the send tests patch.
inline HMODULE ProviderModule() {
    return ::GetModuleHandleW(L"smtpmail.dll");
}

class ImportPatch {
public:
    // dll: the imported DLL's name, in any case.
    ImportPatch(HMODULE module, const char* dll, const char* function, const void* substitute);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // Empty when the entry was found and changed; otherwise why not.
    const std::string& Error() const { return m_error; }
    template <typename F>
    F Original() const {
        return reinterpret_cast<F>(m_original);
    }

private:
    void Write(void* value);

    void** m_slot = nullptr;
    void* m_original = nullptr;
    std::string m_error;
};
