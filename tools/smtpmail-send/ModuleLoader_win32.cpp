// The Windows backend: the host product loads the provider DLL the same way.
#include <windows.h>

#include <string>

#include "ModuleLoader.h"

namespace hostloader {

namespace {

std::wstring Widen(const std::string& s) {
    if (s.empty())
        return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Narrow(const std::wstring& w) {
    if (w.empty())
        return {};
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                  nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                          nullptr);
    return s;
}

// The system's own text for the error (126: "The specified module could not
// be found."), with its number.
std::string LastErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    if (text != nullptr)
        ::LocalFree(text);
    while (!message.empty() &&
           (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
        message.pop_back();
    const std::string number = "Windows error " + std::to_string(code);
    return message.empty() ? number : Narrow(message) + " (" + number + ")";
}

}  // namespace

Module Open(const std::string& path, std::string& error) {
    HMODULE module = ::LoadLibraryW(Widen(path).c_str());
    if (module == nullptr)
        error = LastErrorText(::GetLastError());
    return reinterpret_cast<Module>(module);
}

void* Symbol(Module module, const char* name, std::string& error) {
    FARPROC address = ::GetProcAddress(reinterpret_cast<HMODULE>(module), name);
    if (address == nullptr) {
        error = std::string("export ") + name + " not found: " + LastErrorText(::GetLastError());
    }
    return reinterpret_cast<void*>(address);
}

// The host's error display texts live in its resources (LoadStringW).
Module Self() {
    return reinterpret_cast<Module>(::GetModuleHandleW(nullptr));
}

std::string ExecutableDir() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer, n);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string(".\\") : Narrow(path.substr(0, slash + 1));
}

const char* ProviderFileName() {
    return "smtpmail.dll";
}

char PathSeparator() {
    return '\\';
}

}  // namespace hostloader
