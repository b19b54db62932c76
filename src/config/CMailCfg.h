// The enciphered configuration store: two wide strings kept in a file or a
// registry value as Base64 of Blowfish-CFB-64 of Base64 of the record.
#pragma once

#include <string>

#include "platform/Registry.h"
#include "platform/WinTypes.h"

class CGrowingBuffer;

class CMailCfg {
public:
    CMailCfg() = default;
    virtual ~CMailCfg() = default;

    virtual bool deserialize(CGrowingBuffer& buffer);
    virtual bool serialize(CGrowingBuffer& buffer);

    bool load(const char16_t* pszPath);
    void load(const std::string& sStoredText);
    bool loadRegistry(platform::HKEY hRoot, const char16_t* pszKey, const char16_t* pszValueName);
    bool save(const char16_t* pszPath);
    bool saveRegistry(platform::HKEY hRoot, const char16_t* pszKey, const char16_t* pszValueName);

    bool readString(CGrowingBuffer& buffer, std::u16string& sValue);
    bool writeString(CGrowingBuffer& buffer, const std::u16string& sValue);
    bool decrypt(CGrowingBuffer& buffer);
    bool encrypt(CGrowingBuffer& buffer);

    const char16_t* GetText1() const { return m_strText1.c_str(); }
    const char16_t* GetText2() const { return m_strText2.c_str(); }

    std::u16string m_strText1;
    std::u16string m_strText2;
    // Why the last load from a file or registry value failed: 0 after a
    // load that worked, ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when
    // there was nothing to load, ERROR_INVALID_DATA for contents that are no
    // store, or the error that stopped the read.
    DWORD m_dwLoadError = 0;
};
