// OAuthRelay: the host product's OAuth2 sending library. SendEmailWithContent
// obtains an access token with the client-credentials grant from
// {authority}/{tenant}/oauth2/v2.0/token and submits the message over SMTP
// with AUTH XOAUTH2.
//
// Result: null or an empty string when the message was sent, otherwise the
// reason for the failure. The text belongs to the library and stays valid
// until its next call.
#pragma once

#if defined(_WIN32)
#if defined(OAUTHRELAY_BUILD)
#define OAUTHRELAY_API __declspec(dllexport)
#else
#define OAUTHRELAY_API __declspec(dllimport)
#endif
#else
#define OAUTHRELAY_API __attribute__((visibility("default")))
#endif

extern "C" OAUTHRELAY_API const char16_t* SendEmailWithContent(
    const char16_t* pszTo, const char16_t* pszCc, const char16_t* pszBcc, const char16_t* pszSubject,
    const char16_t* pszBody, bool bHtml, const char16_t* pszSenderName, const char16_t* pszSenderAddress,
    const char16_t* pszHost, int nPort, int nPriority, const char16_t* pszCharset, bool bStartTLS, bool bMime,
    bool bNotifySuccess, bool bNotifyFailure, const char16_t* pszAttachments, const char16_t* pszClientId,
    const char16_t* pszClientSecret, const char16_t* pszTenantId, const char16_t* pszScope,
    const char16_t* pszAuthority, const char16_t* pszCustomHeaders);
