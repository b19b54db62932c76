// The registry stand-in: a hive is a directory below the root, a key is a
// directory below its parent key, a value is a file "@<name>" in its key's
// directory holding the type (4 bytes, little-endian) followed by the data.
// Names are matched without regard to case; a key or value keeps the spelling
// it was created with. Characters that a file name cannot hold, '%' and '@'
// are written as %XX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AnsiCodePage.h"
#include "platform/LastError.h"
#include "platform/NameCase.h"
#include "platform/Registry.h"
#include "platform/Utf.h"
#include "platform/posix/RegularFile_posix.h"

namespace platform {

struct RegistryKey {
    bool machine = false;                 // HKEY_LOCAL_MACHINE rather than HKEY_CURRENT_USER
    bool predefined = false;              // one of the two roots: never freed
    bool writable = false;                // opened with a set-value right
    std::vector<std::string> components;  // directory names below the hive
};

namespace {

RegistryKey g_currentUser{false, true, true, {}};
RegistryKey g_localMachine{true, true, true, {}};

std::mutex g_rootLock;
std::string g_root;  // empty: from the environment

constexpr DWORD kSetRights = KEY_SET_VALUE | 0x0004 /* KEY_CREATE_SUB_KEY */;

std::string DefaultRoot() {
    if (const char* env = std::getenv("SMTPMAIL_REGISTRY_ROOT"); env != nullptr && *env != 0)
        return env;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0)
        return std::string(home) + "/.smtpmail/registry";
    return "/tmp/smtpmail-registry";
}

std::string HivePath(const RegistryKey& key) {
    return GetRegistryRoot() + (key.machine ? "/HKEY_LOCAL_MACHINE" : "/HKEY_CURRENT_USER");
}

std::string KeyPath(const RegistryKey& key) {
    std::string path = HivePath(key);
    for (const std::string& c : key.components)
        path += "/" + c;
    return path;
}

bool MachineReadOnly() {
    if (const char* env = std::getenv("SMTPMAIL_REGISTRY_HKLM_READONLY");
        env != nullptr && *env != 0 && std::strcmp(env, "0") != 0)
        return true;
    // The hive, or before it exists its nearest existing parent, must be writable.
    std::string probe = HivePath(g_localMachine);
    struct stat st {};
    while (::stat(probe.c_str(), &st) != 0) {
        size_t slash = probe.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            return false;
        probe.resize(slash);
    }
    return ::access(probe.c_str(), W_OK) != 0;
}

// A name as a file name: '/', '%', '@', control characters and a leading '.' escaped.
std::string EncodeName(const char16_t* name) {
    std::string utf8 = Utf16ToUtf8(name == nullptr ? std::u16string() : std::u16string(name));
    std::string out;
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x20 || c == '/' || c == '%' || c == '@' || c == 0x7F || (i == 0 && c == '.')) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The entry of dir whose name equals want without regard to case; empty if none.
std::string FindEntry(const std::string& dir, const std::string& want, bool wantDirectory) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return std::string();
    std::u16string wantWide = Utf8ToUtf16(want);
    std::string found;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (name != want && !SameNameIgnoringCase(Utf8ToUtf16(name), wantWide))
            continue;
        struct stat st {};
        if (::stat((dir + "/" + name).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode) != wantDirectory)
            continue;
        found = name;
        if (name == want)
            break;
    }
    ::closedir(d);
    return found;
}

std::vector<std::string> SplitPath(const char16_t* subKey) {
    std::vector<std::string> parts;
    if (subKey == nullptr)
        return parts;
    std::u16string current;
    for (const char16_t* p = subKey;; ++p) {
        if (*p == u'\\' || *p == 0) {
            if (!current.empty())
                parts.push_back(EncodeName(current.c_str()));
            current.clear();
            if (*p == 0)
                break;
        } else {
            current += *p;
        }
    }
    return parts;
}

LONG MakeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return ERROR_SUCCESS;
    return static_cast<LONG>(Win32ErrorFromErrno(errno));
}

LONG MakeDirectories(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty()) {
            LONG rc = MakeDirectory(partial);
            if (rc != ERROR_SUCCESS)
                return rc;
        }
        pos = slash + 1;
    }
    return ERROR_SUCCESS;
}

LONG Open(HKEY hKey, const char16_t* subKey, bool create, DWORD samDesired, HKEY* phkResult) {
    if (phkResult == nullptr)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    if (hKey == nullptr)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    bool wantsWrite = (samDesired & kSetRights) != 0;
    if (hKey->machine && (create || wantsWrite) && MachineReadOnly())
        return static_cast<LONG>(ERROR_ACCESS_DENIED);

    auto key = new RegistryKey{hKey->machine, false, wantsWrite, hKey->components};
    std::string path = KeyPath(*key);
    if (create) {
        LONG rc = MakeDirectories(path);
        if (rc != ERROR_SUCCESS) {
            delete key;
            return rc;
        }
    } else {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 && !key->components.empty()) {
            delete key;
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
    }
    for (const std::string& part : SplitPath(subKey)) {
        std::string existing = FindEntry(path, part, true);
        if (existing.empty()) {
            if (!create) {
                delete key;
                return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
            }
            LONG rc = MakeDirectory(path + "/" + part);
            if (rc != ERROR_SUCCESS) {
                delete key;
                return rc;
            }
            existing = part;
        }
        key->components.push_back(existing);
        path += "/" + existing;
    }
    *phkResult = key;
    return static_cast<LONG>(ERROR_SUCCESS);
}

std::string ValueFile(const RegistryKey& key, const char16_t* valueName, bool forWriting) {
    std::string dir = KeyPath(key);
    std::string want = "@" + EncodeName(valueName);
    std::string existing = FindEntry(dir, want, false);
    if (!existing.empty())
        return dir + "/" + existing;
    return forWriting ? dir + "/" + want : std::string();
}

// Reads a value file into type and data.
LONG ReadValue(const RegistryKey& key, const char16_t* valueName, DWORD& type, std::string& data) {
    std::string file = ValueFile(key, valueName, false);
    if (file.empty())
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    DWORD dwError = 0;
    int fd = OpenRegularFileForReading(file, &dwError);
    if (fd < 0)
        return static_cast<LONG>(dwError);
    std::string content;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            return static_cast<LONG>(Win32ErrorFromErrno(err));
        }
        if (n == 0)
            break;
        content.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (content.size() < 4)
        return static_cast<LONG>(ERROR_BADKEY);
    type = static_cast<DWORD>(static_cast<unsigned char>(content[0])) |
           static_cast<DWORD>(static_cast<unsigned char>(content[1])) << 8 |
           static_cast<DWORD>(static_cast<unsigned char>(content[2])) << 16 |
           static_cast<DWORD>(static_cast<unsigned char>(content[3])) << 24;
    data = content.substr(4);
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG CopyOut(const std::string& data, DWORD type, DWORD* pType, BYTE* out, DWORD* pcbData) {
    if (pType != nullptr)
        *pType = type;
    if (out != nullptr && pcbData == nullptr)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    if (pcbData == nullptr)
        return static_cast<LONG>(ERROR_SUCCESS);
    auto size = static_cast<DWORD>(data.size());
    if (out == nullptr) {
        *pcbData = size;
        return static_cast<LONG>(ERROR_SUCCESS);
    }
    if (*pcbData < size) {
        *pcbData = size;
        return static_cast<LONG>(ERROR_MORE_DATA);
    }
    if (size != 0)
        std::memcpy(out, data.data(), size);
    *pcbData = size;
    return static_cast<LONG>(ERROR_SUCCESS);
}

}  // namespace

void SetRegistryView(DWORD /*samView*/) {}

void SetRegistryRoot(const std::string& directory) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_root = directory;
}

std::string GetRegistryRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_root.empty() ? DefaultRoot() : g_root;
}

LONG RegOpenKeyExW(HKEY hKey, const char16_t* subKey, DWORD /*options*/, DWORD samDesired,
                   HKEY* phkResult) {
    return Open(hKey, subKey, false, samDesired, phkResult);
}

LONG RegOpenKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult) {
    // The classic call asks for the most the caller may have: write access
    // where the hive allows it.
    DWORD sam = (hKey != nullptr && hKey->machine && MachineReadOnly()) ? KEY_READ : KEY_ALL_ACCESS;
    return Open(hKey, subKey, false, sam, phkResult);
}

LONG RegCreateKeyExW(HKEY hKey, const char16_t* subKey, DWORD samDesired, HKEY* phkResult) {
    return Open(hKey, subKey, true, samDesired, phkResult);
}

LONG RegCreateKeyW(HKEY hKey, const char16_t* subKey, HKEY* phkResult) {
    return Open(hKey, subKey, true, KEY_ALL_ACCESS, phkResult);
}

LONG RegCloseKey(HKEY hKey) {
    if (hKey == nullptr)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (!hKey->predefined)
        delete hKey;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegQueryValueExW(HKEY hKey, const char16_t* valueName, DWORD* pType, BYTE* data,
                      DWORD* pcbData) {
    if (hKey == nullptr)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    DWORD type = REG_NONE;
    std::string content;
    LONG rc = ReadValue(*hKey, valueName, type, content);
    if (rc != ERROR_SUCCESS)
        return rc;
    return CopyOut(content, type, pType, data, pcbData);
}

LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* pType, BYTE* data, DWORD* pcbData) {
    if (hKey == nullptr)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    std::u16string wideName =
        valueName != nullptr ? AnsiToUtf16(valueName, std::strlen(valueName)) : std::u16string();
    DWORD type = REG_NONE;
    std::string content;
    LONG rc = ReadValue(*hKey, wideName.c_str(), type, content);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type == REG_SZ) {
        std::string narrow;
        for (size_t i = 0; i + 1 < content.size(); i += 2) {
            auto ch = static_cast<char16_t>(static_cast<unsigned char>(content[i]) |
                                            static_cast<unsigned char>(content[i + 1]) << 8);
            narrow += Utf16CharToAnsi(ch);
        }
        content = narrow;
    }
    return CopyOut(content, type, pType, data, pcbData);
}

LONG RegSetValueExW(HKEY hKey, const char16_t* valueName, DWORD type, const BYTE* data,
                    DWORD cbData) {
    if (hKey == nullptr)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (data == nullptr && cbData != 0)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    if (!hKey->writable || (hKey->machine && MachineReadOnly()))
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
    std::string dir = KeyPath(*hKey);
    if (!hKey->components.empty()) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0)
            return static_cast<LONG>(ERROR_BADKEY);
    } else if (LONG rc = MakeDirectories(dir); rc != ERROR_SUCCESS) {
        return rc;
    }
    std::string file = ValueFile(*hKey, valueName, true);
    std::string content(4, '\0');
    for (int i = 0; i < 4; ++i)
        content[static_cast<size_t>(i)] = static_cast<char>((type >> (8 * i)) & 0xFF);
    if (cbData != 0)
        content.append(reinterpret_cast<const char*>(data), cbData);

    // Written beside the value and renamed over it, so that a reader never
    // sees half a value.
    static std::atomic<unsigned> counter{0};
    std::string temp =
        dir + "/.tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return static_cast<LONG>(Win32ErrorFromErrno(errno));
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return static_cast<LONG>(Win32ErrorFromErrno(err));
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), file.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return static_cast<LONG>(Win32ErrorFromErrno(err));
    }
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegDeleteValueW(HKEY hKey, const char16_t* valueName) {
    if (hKey == nullptr)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (!hKey->writable || (hKey->machine && MachineReadOnly()))
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
    std::string file = ValueFile(*hKey, valueName, false);
    if (file.empty())
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    if (::unlink(file.c_str()) != 0)
        return static_cast<LONG>(errno == ENOENT ? ERROR_FILE_NOT_FOUND
                                                 : Win32ErrorFromErrno(errno));
    return static_cast<LONG>(ERROR_SUCCESS);
}

}  // namespace platform

const platform::HKEY HKEY_CURRENT_USER = &platform::g_currentUser;
const platform::HKEY HKEY_LOCAL_MACHINE = &platform::g_localMachine;
