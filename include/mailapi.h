/*
 * mailapi.h - the host-facing interface of the SMTP mail provider.
 *
 * The host loads the provider library and reaches it only through the sixteen
 * Mail_ functions below. Wide characters are 16-bit UTF-16 code units on every
 * platform (wchar_t on Windows, char16_t elsewhere). Every record starts with
 * cbSize, which the provider checks before it reads anything else.
 */
#ifndef SMTPMAIL_MAILAPI_H
#define SMTPMAIL_MAILAPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
typedef wchar_t MAILWCHAR;
#elif defined(__cplusplus)
typedef char16_t MAILWCHAR;
#else
typedef uint16_t MAILWCHAR;
#endif

/* Calling convention of the exports: WINAPI (__stdcall) on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define MAILCALL __stdcall
#else
#define MAILCALL
#endif

#if defined(_WIN32)
#if defined(SMTPMAIL_BUILD)
/* The provider's .def file is its whole export table, with undecorated names. */
#define MAILAPI
#else
#define MAILAPI __declspec(dllimport)
#endif
#else
#define MAILAPI __attribute__((visibility("default")))
#endif

/* Result codes of every operation. */
typedef int32_t MAILRESULT;

#define MAILERR_OK 0
#define MAILERR_NO_MORE_ITEMS 1
#define MAILERR_INIT 100
#define MAILERR_SEND 200
#define MAILERR_SEND_FILE 201
#define MAILERR_SEND_ATTACH 202
#define MAILERR_RECEIVE 300
#define MAILERR_RECEIVE_FILE 301
#define MAILERR_RECEIVE_ATTACH 302
#define MAILERR_DELETE 400
#define MAILERR_GENERIC 500
#define MAILERR_NOT_FOUND 501
#define MAILERR_AMBIGUOUS 502
#define MAILERR_DEL_MAIL 503
#define MAILERR_OUT_OF_MEM 504
#define MAILERR_INVALID_PARAMS 505
#define MAILERR_INVALID_OPERATION 506
#define MAILERR_NO_ATTACH 507
#define MAILERR_ABORTED 508
#define MAILERR_ACCESS_DENIED 509
#define MAILERR_INTERNAL 1000

/* Mail_Execute commands. */
#define MAILCMD_GETERRORTEXT 1000 /* MAILERRORTEXT* */
#define MAILCMD_FORMATERROR 1001  /* MAILFORMATERROR* */
#define MAILCMD_GETNAME 1002      /* MAILNAME* */

/* Bits of MAILINIFLAGS.dwCfgSource. */
#define MAILCFG_SOURCE_FILE 0x02
#define MAILCFG_SOURCE_REGISTRY 0x04

/* Bits of MAILMESSAGE.dwFlags. */
#define MAILMSG_NOTIFY_SUCCESS 0x08
#define MAILMSG_NOTIFY_FAILURE 0x10
#define MAILMSG_READ_RECEIPT 0x20

/* MAILMESSAGE.nBodyType */
#define MAILBODY_MEMORY 0
#define MAILBODY_FILE 1

/* MAILMESSAGE.nPriority */
#define MAILPRIO_LOW 1
#define MAILPRIO_NORMAL 2
#define MAILPRIO_HIGH 3

/* MAILRECIPIENT.nKind */
#define MAILRECIP_TO 1
#define MAILRECIP_CC 2
#define MAILRECIP_BCC 3

/* MAILSENDFLAGS.dwOptions */
#define MAILSEND_NO_ATTACHMENTS 1

typedef struct MAILPROVIDER_* HMAILPROVIDER; /* opaque provider handle */
typedef struct MAILITEM_* HMAILITEM;         /* opaque item handle (never handed out here) */
typedef void* HMAILMODULE;                   /* module with the error display texts */

#ifdef __cplusplus
/*
 * The host's logging interface. The provider calls slots 4 and 5 only; slots 0
 * to 3 belong to the host.
 */
struct ILogProvider {
    virtual long MAILCALL Slot0() = 0;
    virtual long MAILCALL Slot1() = 0;
    virtual long MAILCALL Slot2() = 0;
    virtual long MAILCALL Slot3() = 0;
    /* one record with the name of the function that writes it */
    virtual long MAILCALL WriteLog(void* session, int type, int level, const MAILWCHAR* message,
                                   const MAILWCHAR* action, const MAILWCHAR* function) = 0;
    /* one record */
    virtual long MAILCALL WriteMessage(void* session, int type, int level,
                                       const MAILWCHAR* message) = 0;

protected:
    ~ILogProvider() = default;
};
#else
typedef struct ILogProvider ILogProvider;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The host session service. LoadCfg asks it for the stored configuration text
 * (item 206, selector 1) when the primary directory has no store file.
 * GetItem fills buffer with at most *pcchBuffer characters including the
 * terminating NUL and returns a status; negative is a failure. When the text
 * does not fit it returns MAILSESSION_E_MOREDATA and sets *pcchBuffer to the
 * size it needs.
 */
#define MAILSESSION_ITEM_SMTPCFG 206
#define MAILSESSION_SELECTOR_TEXT 1
#define MAILSESSION_E_MOREDATA (-2)

typedef struct MAILSESSION MAILSESSION;
typedef long(MAILCALL* PFN_MAILSESSION_GETITEM)(MAILSESSION* session, int selector, int item,
                                                MAILWCHAR* buffer, uint32_t* pcchBuffer);

typedef struct MAILSESSIONFUNCS {
    uint32_t cbSize;
    PFN_MAILSESSION_GETITEM pfnGetItem; /* null: the service is not offered */
} MAILSESSIONFUNCS;

struct MAILSESSION {
    uint32_t cbSize;
    uint32_t bReady; /* non-zero once the host's session is ready for requests */
    const MAILSESSIONFUNCS* pFuncs;
    void* pHostData;
};

/* A handle's last error (520 bytes). */
typedef struct MAILERROR {
    int32_t nCode;
    MAILWCHAR szDescription[256];
    uint32_t dwNativeCode;
} MAILERROR;

/* The host's initialisation record for Mail_Initialize. */
typedef struct MAILINIFLAGS {
    uint32_t cbSize;
    uint32_t dwReserved1;
    uint32_t dwKeyCheck; /* non-zero: sample the Shift keys while logging in */
    const MAILWCHAR* pszUser;
    const MAILWCHAR* pszPassword; /* SMTP password from the host, may be null */
    uint32_t dwCfgSource;         /* MAILCFG_SOURCE_ bits */
    HMAILMODULE hResource;        /* module holding the error display texts */
    const MAILWCHAR* pszPrimaryDir;
    const MAILWCHAR* pszSecondaryDir;
    const MAILWCHAR* pszProfile;
    ILogProvider* logProvider;   /* required */
    MAILWCHAR szContentType[80]; /* written by the provider */
    MAILSESSION* pSession;       /* host session, may be null */
} MAILINIFLAGS;

/* The smallest MAILINIFLAGS the provider accepts: up to and including pSession. */
#define MAILINIFLAGS_MIN_SIZE (offsetof(MAILINIFLAGS, pSession) + sizeof(void*))

/* Mail_Execute(MAILCMD_GETERRORTEXT): display text of a code (524 bytes). */
typedef struct MAILERRORTEXT {
    uint32_t cbSize;
    int32_t nCode;
    MAILWCHAR szText[256];
    uint32_t dwFlags; /* 1: append the code */
} MAILERRORTEXT;

/* Mail_Execute(MAILCMD_FORMATERROR): full report of the last error (1032 bytes). */
typedef struct MAILFORMATERROR {
    uint32_t cbSize;
    MAILWCHAR szText[512];
    uint32_t dwReserved;
} MAILFORMATERROR;

/* Mail_Execute(MAILCMD_GETNAME): the provider's name (164 bytes). */
typedef struct MAILNAME {
    uint32_t cbSize;
    MAILWCHAR szName[80];
} MAILNAME;

/* One sender or recipient. */
typedef struct MAILRECIPIENT {
    uint32_t dwReserved;
    int32_t nKind; /* MAILRECIP_TO, MAILRECIP_CC, MAILRECIP_BCC */
    const MAILWCHAR* pszName;
    const MAILWCHAR* pszAddress;
} MAILRECIPIENT;

/* One attachment: a file and the name it is shown under (null: the file's name). */
typedef struct MAILATTACHMENT {
    uint32_t dwReserved;
    const MAILWCHAR* pszName;
    const MAILWCHAR* pszPath;
} MAILATTACHMENT;

/* The host's message record for Mail_Send. */
typedef struct MAILMESSAGE {
    uint32_t dwReserved1;
    const MAILWCHAR* pszSubject;
    int32_t nBodyType;           /* MAILBODY_MEMORY, MAILBODY_FILE, other: no body */
    const MAILWCHAR* pszBody;    /* text, or the path of the body file */
    int32_t nBodyLength;         /* a memory body is used only when this is not 0 */
    MAILWCHAR szContentType[82]; /* "text/html" marks an HTML body */
    uint32_t dwFlags;            /* MAILMSG_ bits */
    uint32_t dwReserved2;
    uint32_t dwReserved3;
    int32_t nPriority; /* MAILPRIO_ */
    const MAILRECIPIENT* pOriginator;
    int32_t nRecipients;
    const MAILRECIPIENT* pRecipients;
    int32_t nAttachments;
    const MAILATTACHMENT* pAttachments;
} MAILMESSAGE;

/* Optional options of Mail_Send. */
typedef struct MAILSENDFLAGS {
    uint32_t cbSize;
    uint32_t dwOptions; /* MAILSEND_NO_ATTACHMENTS */
} MAILSENDFLAGS;

/* Records of Mail_ResolveAddress; only their sizes are read. */
typedef struct MAILADDRESS {
    uint32_t cbSize; /* 16 */
    uint32_t dwReserved[3];
} MAILADDRESS;

typedef struct MAILRESOLVEADDRESSFLAGS {
    uint32_t cbSize; /* 8 */
    uint32_t dwFlags;
} MAILRESOLVEADDRESSFLAGS;

MAILAPI HMAILPROVIDER MAILCALL Mail_Initialize(MAILINIFLAGS* pFlags);
MAILAPI void MAILCALL Mail_Uninitialize(HMAILPROVIDER hProvider);
MAILAPI MAILRESULT MAILCALL Mail_Send(HMAILPROVIDER hProvider, const MAILMESSAGE* pMessage,
                                      const MAILSENDFLAGS* pSendFlags);
MAILAPI MAILRESULT MAILCALL Mail_Deliver(HMAILPROVIDER hProvider, uint32_t dwArgument);
MAILAPI MAILRESULT MAILCALL Mail_Execute(HMAILPROVIDER hProvider, uint32_t dwCommand, void* pArg);
MAILAPI MAILERROR* MAILCALL Mail_GetLastError(HMAILPROVIDER hProvider);
MAILAPI MAILRESULT MAILCALL Mail_GetProperty(HMAILPROVIDER hProvider,
                                             const MAILWCHAR* pszPropertyName,
                                             void* pszPropertyValue, uint32_t cbPropertyValue);
MAILAPI MAILRESULT MAILCALL Mail_SetProperty(HMAILPROVIDER hProvider,
                                             const MAILWCHAR* pszPropertyName,
                                             const void* pszPropertyValue);
MAILAPI MAILRESULT MAILCALL Mail_ResolveAddress(HMAILPROVIDER hProvider,
                                                const MAILWCHAR* pszAddress,
                                                MAILADDRESS* pResolvedAddress,
                                                const MAILRESOLVEADDRESSFLAGS* pFlags);
MAILAPI MAILRESULT MAILCALL Mail_FreeBuffer(HMAILPROVIDER hProvider, void* pBuffer);
MAILAPI HMAILITEM MAILCALL Mail_FindFirst(HMAILPROVIDER hProvider, void* pArg);
MAILAPI MAILRESULT MAILCALL Mail_FindNext(HMAILITEM hItem);
MAILAPI void MAILCALL Mail_FindClose(HMAILITEM hItem);
MAILAPI MAILRESULT MAILCALL Mail_Receive(HMAILITEM hItem, void* pArg1, void* pArg2, void* pArg3);
MAILAPI MAILRESULT MAILCALL Mail_AttachmentSave(HMAILITEM hItem, void* pArg1, void* pArg2);
MAILAPI MAILRESULT MAILCALL Mail_Delete(HMAILITEM hItem);

#ifdef __cplusplus
}
#endif

/* The pointer-free records have the same size everywhere. */
#ifdef __cplusplus
#define MAILAPI_STATIC_ASSERT static_assert
#else
#define MAILAPI_STATIC_ASSERT _Static_assert
#endif
MAILAPI_STATIC_ASSERT(sizeof(MAILWCHAR) == 2, "wide characters are 16-bit");
MAILAPI_STATIC_ASSERT(sizeof(MAILERROR) == 520, "MAILERROR is 520 bytes");
MAILAPI_STATIC_ASSERT(sizeof(MAILERRORTEXT) == 524, "MAILERRORTEXT is 524 bytes");
MAILAPI_STATIC_ASSERT(sizeof(MAILFORMATERROR) == 1032, "MAILFORMATERROR is 1032 bytes");
MAILAPI_STATIC_ASSERT(sizeof(MAILNAME) == 164, "MAILNAME is 164 bytes");
MAILAPI_STATIC_ASSERT(sizeof(MAILADDRESS) == 16, "MAILADDRESS is 16 bytes");
MAILAPI_STATIC_ASSERT(sizeof(MAILRESOLVEADDRESSFLAGS) == 8, "MAILRESOLVEADDRESSFLAGS is 8 bytes");
MAILAPI_STATIC_ASSERT(offsetof(MAILERROR, dwNativeCode) == 516, "MAILERROR layout");

/* On the home platform every offset the host relies on must hold (also checked
 * on any 32-bit target with SMTPMAIL_CHECK_LAYOUT32, which has the same layout). */
#if (defined(_WIN32) && !defined(_WIN64)) || defined(SMTPMAIL_CHECK_LAYOUT32)
MAILAPI_STATIC_ASSERT(sizeof(void*) == 4, "the home platform's layout is a 32-bit one");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, dwReserved1) == 4, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, dwKeyCheck) == 8, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, pszUser) == 12, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, pszPassword) == 16, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, dwCfgSource) == 20, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, hResource) == 24, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, pszPrimaryDir) == 28, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, pszSecondaryDir) == 32, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, pszProfile) == 36, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, logProvider) == 40, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, szContentType) == 44, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILINIFLAGS, pSession) == 204, "MAILINIFLAGS layout");
MAILAPI_STATIC_ASSERT(MAILINIFLAGS_MIN_SIZE == 208, "MAILINIFLAGS minimum size");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, pszSubject) == 4, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, nBodyType) == 8, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, pszBody) == 12, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, nBodyLength) == 16, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, szContentType) == 20, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, dwFlags) == 184, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, nPriority) == 196, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, pOriginator) == 200, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, nRecipients) == 204, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, pRecipients) == 208, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, nAttachments) == 212, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILMESSAGE, pAttachments) == 216, "MAILMESSAGE layout");
MAILAPI_STATIC_ASSERT(sizeof(MAILRECIPIENT) == 16, "MAILRECIPIENT is 16 bytes");
MAILAPI_STATIC_ASSERT(offsetof(MAILRECIPIENT, nKind) == 4, "MAILRECIPIENT layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILRECIPIENT, pszName) == 8, "MAILRECIPIENT layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILRECIPIENT, pszAddress) == 12, "MAILRECIPIENT layout");
MAILAPI_STATIC_ASSERT(offsetof(MAILSENDFLAGS, dwOptions) == 4, "MAILSENDFLAGS layout");
#endif

#endif /* SMTPMAIL_MAILAPI_H */
