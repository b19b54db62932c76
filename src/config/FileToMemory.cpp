#include "config/FileToMemory.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "diag/DiagPrint.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "vxstring.h"
#include "vxutil.h"

namespace {

// Text of count bytes in codePage as a new block of UTF-16 with a terminator.
DWORD WidenToBlock(const char* text, size_t count, unsigned codePage, void** ppBlock,
                   DWORD* pdwSize) {
    std::u16string wide;
    if (count != 0)
        strAnsiToWide(wide, text, static_cast<int>(count), codePage, false);
    size_t bytes = (wide.size() + 1) * sizeof(char16_t);
    void* block = GetMemory(bytes);
    if (block == nullptr) {
        DiagPrint(u"FileToMemory(): faile to allocate %lu bytes\n",
                  static_cast<unsigned long>(bytes));
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(block, wide.c_str(), bytes);
    *ppBlock = block;
    *pdwSize = static_cast<DWORD>(bytes);
    return ERROR_SUCCESS;
}

DWORD ReadWhole(const char16_t* pszPath, void** ppBlock, DWORD* pdwSize, int nConvert,
                DWORD dwMaxSize) {
    // Other readers (a scanner, a backup, another provider) may hold the file
    // too; writers may not, so it cannot change while it is read.
    HANDLE h = platform::CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD rc = platform::GetLastError();
        DiagPrint(u"FileToMemory(): failed to open '%s'\n", pszPath);
        return rc == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : rc;
    }
    DWORD rc = ERROR_SUCCESS;
    std::int64_t size = 0;
    BYTE* raw = nullptr;
    if (!platform::GetFileSizeEx(h, &size)) {
        rc = platform::GetLastError();
        DiagPrint(u"FileToMemory(): failed to determine file-size of '%s'\n", pszPath);
    } else if (size > static_cast<std::int64_t>(dwMaxSize)) {
        rc = ERROR_FILE_TOO_LARGE;
        DiagPrint(u"FileToMemory(): '%s' is larger than %lu bytes\n", pszPath,
                  static_cast<unsigned long>(dwMaxSize));
    } else if (size < 0 || size > 0x7FFFFFF0) {
        rc = ERROR_NOT_ENOUGH_MEMORY;
        DiagPrint(u"FileToMemory(): faile to allocate %lu bytes\n",
                  static_cast<unsigned long>(size));
    } else if ((raw = static_cast<BYTE*>(GetMemory(static_cast<size_t>(size) + 2))) == nullptr) {
        rc = ERROR_NOT_ENOUGH_MEMORY;
        DiagPrint(u"FileToMemory(): faile to allocate %lu bytes\n",
                  static_cast<unsigned long>(size));
    } else {
        auto fileSize = static_cast<DWORD>(size);
        DWORD read = 0;
        BOOL ok = platform::ReadFile(h, raw, fileSize, &read);
        if (!ok || read != fileSize) {
            rc = ok ? ERROR_READ_FAULT : platform::GetLastError();
            if (rc == ERROR_SUCCESS)
                rc = ERROR_READ_FAULT;
            DiagPrint(u"FileToMemory(): read-error in '%s'\n", pszPath);
            FreeMemory(raw);
        } else {
            raw[fileSize] = 0;
            raw[fileSize + 1] = 0;
            if (nConvert != 1) {
                *ppBlock = raw;
                *pdwSize = fileSize;
            } else if (fileSize >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF) {
                rc = WidenToBlock(reinterpret_cast<const char*>(raw) + 3, fileSize - 3, CP_UTF8,
                                  ppBlock, pdwSize);
                FreeMemory(raw);
            } else if (fileSize >= 2 && raw[0] == 0xFF && raw[1] == 0xFE) {
                DWORD bytes = fileSize - 2;
                void* block = GetMemory(static_cast<size_t>(bytes) + 2);
                if (block == nullptr) {
                    DiagPrint(u"FileToMemory(): faile to allocate %lu bytes\n",
                              static_cast<unsigned long>(bytes + 2));
                    rc = ERROR_NOT_ENOUGH_MEMORY;
                } else {
                    std::memcpy(block, raw + 2, bytes);
                    static_cast<BYTE*>(block)[bytes] = 0;
                    static_cast<BYTE*>(block)[bytes + 1] = 0;
                    *ppBlock = block;
                    *pdwSize = bytes;
                }
                FreeMemory(raw);
            } else {
                rc = WidenToBlock(reinterpret_cast<const char*>(raw), fileSize, CP_ACP, ppBlock,
                                  pdwSize);
                FreeMemory(raw);
            }
        }
    }
    platform::CloseHandle(h);
    return rc;
}

}  // namespace

DWORD FileToMemory(const char16_t* pszPath, void** ppBlock, DWORD* pdwSize, int nConvert,
                   DWORD dwMaxSize) {
    DiagPrint(u"FileToMemory() ==>\n");
    DiagPrint(u"FileToMemory(): opening '%s'\n", pszPath != nullptr ? pszPath : u"");
    DWORD rc = ERROR_INVALID_PARAMETER;
    if (pszPath != nullptr && ppBlock != nullptr && pdwSize != nullptr) {
        *ppBlock = nullptr;
        *pdwSize = 0;
        rc = ReadWhole(pszPath, ppBlock, pdwSize, nConvert, dwMaxSize);
    }
    DiagPrint(u"FileToMemory() <== return 0x%lX;\n", static_cast<unsigned long>(rc));
    return rc;
}
