#include "config/CMailCfg.h"

#include <cstring>
#include <string>

#include "config/Blowfish.h"
#include "config/CGrowingBuffer.h"
#include "config/FileToMemory.h"
#include "config/SystemErrorText.h"
#include "diag/DiagPrint.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/TextUnicode.h"
#include "vxstring.h"
#include "vxutil.h"

namespace {

constexpr DWORD kGrowBy = 1024;
constexpr DWORD kMaxStringBytes = 2048;
// A store holds two short strings: a file many times larger is not one, and is
// refused before it is read.
constexpr DWORD kMaxStoreFileSize = 1u << 20;

// "<what> failed with 0x<code> ('<system text>')", the line every failed call writes.
void DiagFailure(const char16_t* what, DWORD rc) {
    DiagPrint(u"%s failed with 0x%lX ('%s')\n", what, static_cast<unsigned long>(rc),
              SystemErrorText(rc).c_str());
}

std::u16string AnsiToWide(const char* text, size_t count) {
    std::u16string wide;
    if (count != 0)
        strAnsiToWide(wide, text, static_cast<int>(count), CP_ACP, false);
    return wide;
}

// Appends nCount bytes; false when the buffer could not grow.
bool Append(CGrowingBuffer& buffer, const void* pData, DWORD nCount) {
    DWORD before = buffer.GetPosition();
    buffer.Write(pData, nCount);
    return buffer.m_pData != nullptr && buffer.GetPosition() == before + nCount;
}

}  // namespace

bool CMailCfg::readString(CGrowingBuffer& buffer, std::u16string& sValue) {
    BYTE length[2] = {0, 0};
    if (buffer.ReadNext(length, 2) < 2) {
        DiagPrint(u"CMailCfg::readString: failed to read string-length\n");
        return false;
    }
    DWORD cb = static_cast<DWORD>(length[0]) | static_cast<DWORD>(length[1]) << 8;
    if (cb > kMaxStringBytes) {
        DiagPrint(u"post6_cfg::readString: invalid string-length %d\n", static_cast<int>(cb));
        return false;
    }
    if (cb == 0) {
        sValue.clear();
    } else {
        BYTE bytes[kMaxStringBytes];
        if (buffer.ReadNext(bytes, cb) < cb) {
            DiagPrint(u"post6_cfg::readString: failed to read string\n");
            return false;
        }
        std::u16string text;
        if (platform::IsTextUnicode(bytes, static_cast<int>(cb))) {
            text.reserve(cb / 2);
            for (DWORD i = 0; i + 1 < cb; i += 2) {
                auto ch =
                    static_cast<char16_t>(bytes[i] | static_cast<unsigned>(bytes[i + 1]) << 8);
                if (ch == 0)
                    break;
                text.push_back(ch);
            }
        } else {
            text = AnsiToWide(reinterpret_cast<const char*>(bytes), cb);
            size_t nul = text.find(u'\0');
            if (nul != std::u16string::npos)
                text.resize(nul);
        }
        sValue = text;
    }
    DiagPrint(u"post6_cfg::readString('%s', size=%d)\n", sValue.c_str(), static_cast<int>(cb));
    return true;
}

bool CMailCfg::writeString(CGrowingBuffer& buffer, const std::u16string& sValue) {
    auto cb = static_cast<std::uint16_t>(sValue.size() * 2);
    BYTE length[2] = {static_cast<BYTE>(cb & 0xFF), static_cast<BYTE>(cb >> 8)};
    if (!Append(buffer, length, 2)) {
        DiagPrint(u"post6_cfg::writeString: failed to write string-length\n");
        return false;
    }
    std::string bytes;
    bytes.reserve(cb);
    for (size_t i = 0; i * 2 < cb; ++i) {
        bytes.push_back(static_cast<char>(sValue[i] & 0xFF));
        bytes.push_back(static_cast<char>(sValue[i] >> 8));
    }
    if (!Append(buffer, bytes.data(), cb)) {
        DiagPrint(u"post6_cfg::writeString: failed to write string\n");
        return false;
    }
    DiagPrint(u"post6_cfg::writeString('%s', size=%d)\n", sValue.c_str(), static_cast<int>(cb));
    return true;
}

bool CMailCfg::deserialize(CGrowingBuffer& buffer) {
    if (!readString(buffer, m_strText1))
        return false;
    return readString(buffer, m_strText2);
}

bool CMailCfg::serialize(CGrowingBuffer& buffer) {
    if (!writeString(buffer, m_strText1))
        return false;
    return writeString(buffer, m_strText2);
}

bool CMailCfg::encrypt(CGrowingBuffer& buffer) {
    std::string b1;
    EncodeBase64(b1, buffer.m_pData, buffer.m_pData != nullptr ? buffer.GetSize() : 0);
    std::string e(b1.size(), '\0');
    BlowfishCfb64Encipher(reinterpret_cast<const std::uint8_t*>(b1.data()),
                          reinterpret_cast<std::uint8_t*>(e.data()), b1.size());
    std::string b2;
    EncodeBase64(b2, reinterpret_cast<const unsigned char*>(e.data()), e.size());
    buffer.Free();
    buffer.Write(b2.data(), static_cast<DWORD>(b2.size()));
    buffer.Rewind();
    return true;
}

bool CMailCfg::decrypt(CGrowingBuffer& buffer) {
    DWORD size = buffer.m_pData != nullptr ? buffer.GetSize() : 0;
    std::u16string text = AnsiToWide(reinterpret_cast<const char*>(buffer.m_pData), size);
    auto len = static_cast<int>(text.size());
    std::string scratch(static_cast<size_t>((len * 3) / 4 + 3), '\0');
    int decoded = DecodeBase64(reinterpret_cast<unsigned char*>(scratch.data()), text.c_str(), len);
    if (decoded <= 0) {
        DiagPrint(u"CMailCfg::decrypt(): failed to decrypt.\n");
        return false;
    }
    std::string b1(static_cast<size_t>(decoded), '\0');
    BlowfishCfb64Decipher(reinterpret_cast<const std::uint8_t*>(scratch.data()),
                          reinterpret_cast<std::uint8_t*>(b1.data()), b1.size());

    std::u16string wideB1 = AnsiToWide(b1.data(), b1.size());
    auto len1 = static_cast<int>(wideB1.size());
    auto reserve = static_cast<DWORD>((len1 * 3) / 4 + 3);
    buffer.Free();
    buffer.Write(nullptr, reserve);
    if (buffer.m_pData == nullptr) {
        DiagPrint(u"CMailCfg::decrypt(): invalid base64 data.\n");
        return false;
    }
    // Bytes past the decoded record are never meant to be read; keep them defined.
    std::memset(buffer.m_pData, 0, reserve);
    if (DecodeBase64(buffer.m_pData, wideB1.c_str(), len1) < 0) {
        DiagPrint(u"CMailCfg::decrypt(): invalid base64 data.\n");
        return false;
    }
    buffer.Rewind();
    return true;
}

bool CMailCfg::load(const char16_t* pszPath) {
    const char16_t* path = pszPath != nullptr ? pszPath : u"";
    void* block = nullptr;
    DWORD size = 0;
    m_dwLoadError = FileToMemory(pszPath, &block, &size, 0, kMaxStoreFileSize);
    if (m_dwLoadError != ERROR_SUCCESS) {
        DiagPrint(u"CMailCfg::load(): failed to read file '%s'\n", path);
        return false;
    }
    CGrowingBuffer buffer(kGrowBy);
    buffer.Attach(block, size);
    if (!decrypt(buffer)) {
        // A file holding the plain record is still accepted.
        DiagPrint(u"CMailCfg::load(): invalid encrypted contents in '%s'\n", path);
    }
    if (!deserialize(buffer)) {
        DiagPrint(u"CMailCfg::load(): invalid contents in '%s'\n", path);
        m_dwLoadError = ERROR_INVALID_DATA;
        return false;
    }
    return true;
}

void CMailCfg::load(const std::string& sStoredText) {
    CGrowingBuffer buffer(kGrowBy);
    buffer.Write(sStoredText.data(), static_cast<DWORD>(sStoredText.size()));
    std::u16string shown = AnsiToWide(sStoredText.data(), sStoredText.size());
    if (!decrypt(buffer)) {
        DiagPrint(u"CMailCfg::load(): invalid encrypted contents in '%s'\n", shown.c_str());
        return;
    }
    if (!deserialize(buffer))
        DiagPrint(u"CMailCfg::load(): invalid contents in '%s'\n", shown.c_str());
}

bool CMailCfg::loadRegistry(platform::HKEY hRoot, const char16_t* pszKey,
                            const char16_t* pszValueName) {
    if (pszKey == nullptr || pszValueName == nullptr)
        return false;
    DiagPrint(u"CMailCfg::loadRegistry(%s,%s) ==>\n", pszKey, pszValueName);
    bool bResult = false;
    platform::HKEY hKey = nullptr;
    LONG rc = platform::RegOpenKeyW(hRoot, pszKey, &hKey);
    if (rc == static_cast<LONG>(ERROR_SUCCESS)) {
        DWORD cb = 0;
        rc = platform::RegQueryValueExW(hKey, pszValueName, nullptr, nullptr, &cb);
        if (rc == static_cast<LONG>(ERROR_SUCCESS)) {
            CGrowingBuffer buffer(kGrowBy);
            buffer.Write(nullptr, cb);
            if (buffer.m_pData == nullptr) {
                rc = static_cast<LONG>(ERROR_OUTOFMEMORY);
            } else {
                DWORD type = 0;
                rc = platform::RegQueryValueExW(hKey, pszValueName, &type, buffer.m_pData, &cb);
                buffer.Rewind();
                if (rc == static_cast<LONG>(ERROR_SUCCESS)) {
                    if (!decrypt(buffer))
                        DiagPrint(u"CMailCfg::loadRegistry: invalid encrypted-data in '%s\\%s'.\n",
                                  pszKey, pszValueName);
                    else if (!deserialize(buffer))
                        DiagPrint(u"CMailCfg::loadRegistry: invalid data in '%s\\%s'.\n", pszKey,
                                  pszValueName);
                    else
                        bResult = true;
                    m_dwLoadError = bResult ? ERROR_SUCCESS : ERROR_INVALID_DATA;
                }
            }
        }
        platform::RegCloseKey(hKey);
    }
    if (rc != static_cast<LONG>(ERROR_SUCCESS)) {
        DiagFailure(u"loadRegistry", static_cast<DWORD>(rc));
        m_dwLoadError = static_cast<DWORD>(rc);
        bResult = false;
    }
    DiagPrint(u"CMailCfg::loadRegistry() <== return %s;\n", bResult ? u"true" : u"false");
    return bResult;
}

bool CMailCfg::save(const char16_t* pszPath) {
    const char16_t* path = pszPath != nullptr ? pszPath : u"";
    HANDLE h =
        platform::CreateFileW(pszPath, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        DiagPrint(u"CMailCfg::save(): failed to open/create '%s'\n", path);
        return false;
    }
    CGrowingBuffer buffer(kGrowBy);
    if (!serialize(buffer) || !encrypt(buffer)) {
        platform::CloseHandle(h);
        return false;
    }
    DWORD written = 0;
    BOOL ok = platform::WriteFile(h, buffer.m_pData, buffer.GetSize(), &written);
    if (!ok || written != buffer.GetSize()) {
        DWORD rc = ok ? ERROR_WRITE_FAULT : platform::GetLastError();
        DiagFailure(u"WriteFile", rc);
        platform::CloseHandle(h);
        return false;
    }
    platform::CloseHandle(h);
    return true;
}

bool CMailCfg::saveRegistry(platform::HKEY hRoot, const char16_t* pszKey,
                            const char16_t* pszValueName) {
    const char16_t* key = pszKey != nullptr ? pszKey : u"";
    const char16_t* name = pszValueName != nullptr ? pszValueName : u"";
    DiagPrint(u"CMailCfg::saveRegistry(%s\\%s) ==>\n", key, name);
    bool bResult = false;
    CGrowingBuffer buffer(kGrowBy);
    if (serialize(buffer)) {
        platform::HKEY hKey = nullptr;
        LONG rc = platform::RegCreateKeyW(hRoot, pszKey, &hKey);
        if (rc == static_cast<LONG>(ERROR_SUCCESS)) {
            if (buffer.GetPointer(0) == nullptr) {
                rc = static_cast<LONG>(ERROR_OUTOFMEMORY);
            } else if (!encrypt(buffer)) {
                DiagPrint(u"saveRegistry failed to encrypt data for ('%s\\%s')\n", key, name);
            } else {
                rc = platform::RegSetValueExW(hKey, pszValueName, REG_BINARY, buffer.m_pData,
                                              buffer.GetSize());
                bResult = rc == static_cast<LONG>(ERROR_SUCCESS);
            }
            platform::RegCloseKey(hKey);
        }
        if (rc != static_cast<LONG>(ERROR_SUCCESS)) {
            DiagFailure(u"saveRegistry", static_cast<DWORD>(rc));
            bResult = false;
        }
    }
    DiagPrint(u"CMailCfg::saveRegistry() <== return %s;\n", bResult ? u"true" : u"false");
    return bResult;
}
