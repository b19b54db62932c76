// Loading modules at run time over dlopen. System modules of the home
// platform that this backend emulates ("SCHANNEL.DLL") are answered from a
// table of their exports; any other name is looked for as a shared object,
// "NAME.dll" also as "libNAME.so" and "NAME.so".
#include <dlfcn.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/LastError.h"
#include "platform/Sspi.h"
#include "platform/Utf.h"

namespace platform {

namespace {

struct EmulatedExport {
    const char* name;
    void* address;
};

struct EmulatedModule {
    const char* name;  // upper case, without folder
    std::vector<EmulatedExport> exports;
};

const std::vector<EmulatedModule>& EmulatedModules() {
    static const std::vector<EmulatedModule> modules = {
        {"SCHANNEL.DLL",
         {{"InitSecurityInterfaceW", reinterpret_cast<void*>(&InitSecurityInterfaceW)}}},
        {"SECUR32.DLL",
         {{"InitSecurityInterfaceW", reinterpret_cast<void*>(&InitSecurityInterfaceW)}}},
    };
    return modules;
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

const EmulatedModule* FindEmulated(const std::string& name) {
    std::string base = name.substr(
        name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    base = Upper(base);
    if (base.find('.') == std::string::npos)
        base += ".DLL";
    for (const EmulatedModule& m : EmulatedModules()) {
        if (base == m.name)
            return &m;
    }
    return nullptr;
}

bool IsEmulated(HMODULE h) {
    for (const EmulatedModule& m : EmulatedModules()) {
        if (h == &m)
            return true;
    }
    return false;
}

std::vector<std::string> Candidates(const std::string& name) {
    std::vector<std::string> out{name};
    if (name.size() > 4 && Upper(name.substr(name.size() - 4)) == ".DLL") {
        std::string stem = name.substr(0, name.size() - 4);
        size_t slash = stem.find_last_of('/');
        std::string folder = slash == std::string::npos ? std::string() : stem.substr(0, slash + 1);
        std::string file = slash == std::string::npos ? stem : stem.substr(slash + 1);
        out.push_back(folder + "lib" + file + ".so");
        out.push_back(folder + file + ".so");
    }
    return out;
}

}  // namespace

HMODULE LoadLibraryW(const char16_t* name) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string narrow = Utf16ToUtf8(name);
    if (const EmulatedModule* m = FindEmulated(narrow)) {
        return const_cast<EmulatedModule*>(m);
    }
    for (const std::string& candidate : Candidates(narrow)) {
        if (void* h = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL))
            return h;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE LoadSystemLibrary(const char16_t* name) {
    // The system's modules are the emulated ones.
    if (const EmulatedModule* m = name != nullptr ? FindEmulated(Utf16ToUtf8(name)) : nullptr)
        return const_cast<EmulatedModule*>(m);
    SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_MOD_NOT_FOUND);
    return nullptr;
}

void* GetProcAddress(HMODULE hModule, const char* name) {
    if (hModule == nullptr || name == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (IsEmulated(hModule)) {
        for (const EmulatedExport& e : static_cast<const EmulatedModule*>(hModule)->exports) {
            if (std::strcmp(e.name, name) == 0)
                return e.address;
        }
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* address = ::dlsym(hModule, name);
    if (address == nullptr)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return address;
}

BOOL FreeLibrary(HMODULE hModule) {
    if (hModule == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (IsEmulated(hModule))
        return 1;
    if (::dlclose(hModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return 1;
}

}  // namespace platform
