// The shared application object: keeps the module handle and turns error
// codes into display texts from the host module's string table.
#pragma once

#include <string>

#include "mailapi.h"
#include "platform/WinTypes.h"

class CMailApp {
public:
    CMailApp();
    virtual ~CMailApp();
    CMailApp(const CMailApp&) = delete;
    CMailApp& operator=(const CMailApp&) = delete;

    virtual bool Initialize(HMODULE hInstance);
    virtual void Uninitialize();

    // The display text of a code from the string table of hModule; empty when
    // the code or its resource is not there.
    static std::u16string LookupErrorText(HMODULE hModule, MAILRESULT nCode);

    // The current application object (the one created last), or null.
    static CMailApp* Current();

    HMODULE m_hInstance;
};
