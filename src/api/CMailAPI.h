// The base of every provider object: the virtual operations the exports reach,
// the handle's last error, error display texts and the information commands
// of Execute, and moving the configuration store in and out.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "mailapi.h"
#include "platform/WinTypes.h"

class CMailCfg;

class CMailAPI {
public:
    CMailAPI();
    virtual ~CMailAPI();
    CMailAPI(const CMailAPI&) = delete;
    CMailAPI& operator=(const CMailAPI&) = delete;

    virtual bool Initialize(MAILINIFLAGS* pFlags);
    virtual void Uninitialize() = 0;
    virtual MAILRESULT Send(const MAILMESSAGE* pMessage, const MAILSENDFLAGS* pSendFlags) = 0;
    virtual HMAILITEM FindFirst(void* pArg) = 0;
    virtual MAILRESULT ResolveAddress(const char16_t* pszAddress, MAILADDRESS* pResolvedAddress,
                                      const MAILRESOLVEADDRESSFLAGS* pFlags) = 0;
    virtual MAILRESULT Deliver(DWORD dwArgument) = 0;
    virtual MAILRESULT Execute(DWORD dwCommand, void* pArg);
    virtual MAILRESULT SetProperty(const char16_t* pszPropertyName, const void* pszPropertyValue);
    virtual MAILRESULT GetProperty(const char16_t* pszPropertyName, void* pszPropertyValue,
                                   DWORD cbPropertyValue);
    virtual MAILRESULT FreeBuffer(void* pBuffer);
    virtual MAILERROR* GetLastError();
    virtual MAILRESULT GetErrorText(MAILERRORTEXT* pErrorText);
    virtual MAILRESULT FormatError(MAILFORMATERROR* pFormatError);
    virtual MAILRESULT GetName(MAILNAME* pName);
    virtual bool LoadCfg(CMailCfg& cfg, MAILINIFLAGS* pFlags);
    virtual bool SaveCfg(CMailCfg& cfg, MAILINIFLAGS* pFlags);
    virtual std::u16string GetCfgFileName() = 0;
    virtual std::u16string GetCfgValueName() = 0;
    virtual std::u16string GetRegistryKey() = 0;
    virtual std::u16string GetProviderName() = 0;
    virtual void ClearLastError();
    virtual void SetLastError(MAILRESULT nCode, const char16_t* pszDescription, DWORD dwNativeCode);

    // A settings file or value that is there but cannot be used: a warning
    // in the host's log that names it, and the first one is kept for Send.
    void NoteUnusableSettings(const std::u16string& sWhere, const std::u16string& sWhy,
                              DWORD dwError);

    // Calls on the handle from several threads take turns: the export frame
    // holds it for each call. Recursive, so that a host's log provider may
    // call the same handle back.
    std::recursive_mutex m_CallLock;
    // The host's log interface of this handle (HostLog.h).
    ILogProvider* m_pLogProvider = nullptr;
    HMODULE m_hResource;
    std::u16string m_strPrimaryDir;
    std::u16string m_strSecondaryDir;
    // The first settings that could not be used ("(<why>): <where>", the
    // reason first so that a long path cannot hide it), and
    // the Win32 code of the reason; empty and 0 when there were none.
    std::u16string m_strUnusableSettings;
    DWORD m_dwUnusableSettings = 0;

private:
    // The calling thread's record, made (all zero) on its first call.
    MAILERROR& LastErrorOfThisThread();

    // The last error of each thread that called on the handle, as Windows
    // keeps GetLastError per thread: a thread reads its own, whoever called
    // in between. A record stays where it is for the handle's life, so the
    // address Mail_GetLastError hands out remains good; thread ids are
    // reused, which bounds their number.
    std::map<std::thread::id, MAILERROR> m_LastErrors;
};

// The name of a code for trace lines ("MAILERR_???" for codes without one).
const char16_t* MailErrorName(MAILRESULT nCode);
