#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "ModuleLoader.h"

namespace hostloader {

Module Open(const std::string& path, std::string& error) {
    // RTLD_NOW: a provider with a missing symbol should fail here, at start,
    // not halfway through a send.
    Module module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = ::dlerror();
        error = reason != nullptr ? reason : "unknown dynamic loader error";
    }
    return module;
}

void* Symbol(Module module, const char* name, std::string& error) {
    ::dlerror();
    void* address = ::dlsym(module, name);
    if (address == nullptr) {
        const char* reason = ::dlerror();
        error = std::string("export ") + name + " not found" + (reason != nullptr ? ": " : "") +
                (reason != nullptr ? reason : "");
    }
    return address;
}

Module Self() {
    return ::dlopen(nullptr, RTLD_NOW);
}

std::string ExecutableDir() {
    char buffer[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return "./";
    std::string path(buffer, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

const char* ProviderFileName() {
    return "libsmtpmail.so";
}

char PathSeparator() {
    return '/';
}

}  // namespace hostloader
