// Substitutes a function that a loaded module imports from a system DLL, for
// the life of the object: the module's import address table entry points at
// the substitute, and goes back when the object goes. Each call the module
// makes through its imports then reaches the substitute; calls of every other
// module are untouched. This is how the tests put a stand-in in place of a
// Windows service that Wine cannot show, without any switch in the product.
#pragma once

#include <windows.h>

#include <string>

class ImportPatch {
public:
    // module: the loaded module whose imports change (GetModuleHandleW(nullptr)
    // for the test program itself); dll: the imported DLL's name, in any case.
    ImportPatch(HMODULE module, const char* dll, const char* function, const void* substitute);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // Empty when the entry was found and changed; otherwise why not.
    const std::string& Error() const { return m_error; }
    // The imported function itself, for substitutes that pass calls on.
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
