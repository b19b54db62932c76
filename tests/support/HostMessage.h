// The host's message record for Mail_Send, filled field by field as the host
// fills it, with the texts and arrays it points to kept alive together.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "mailapi.h"

// The host's record for Mail_Initialize, with dir (when given) as both folders.
inline MAILINIFLAGS MakeIniFlags(ILogProvider* logProvider, void* hResource,
                                 const char16_t* dir = nullptr) {
    MAILINIFLAGS flags{};
    flags.cbSize = sizeof flags;
    flags.logProvider = logProvider;
    flags.hResource = hResource;
    flags.pszPrimaryDir = flags.pszSecondaryDir = reinterpret_cast<const MAILWCHAR*>(dir);
    return flags;
}

class HostMessage {
public:
    HostMessage() { m_record.nBodyType = -1; }  // no body until one is given
    // The record points into this object: it moves (the texts and arrays keep
    // their places) but is never copied.
    HostMessage(const HostMessage&) = delete;
    HostMessage& operator=(const HostMessage&) = delete;
    HostMessage(HostMessage&&) = default;
    HostMessage& operator=(HostMessage&&) = default;

    HostMessage& Subject(const std::u16string& s) { return Set(m_record.pszSubject = Keep(s)); }
    HostMessage& Body(const std::u16string& text) {
        m_record.nBodyType = MAILBODY_MEMORY;
        m_record.nBodyLength = static_cast<int32_t>(text.size());
        return Set(m_record.pszBody = Keep(text));
    }
    HostMessage& BodyFile(const std::string& path) {
        m_record.nBodyType = MAILBODY_FILE;
        m_record.nBodyLength = 0;
        return Set(m_record.pszBody = Keep(FromUtf8(path)));
    }
    HostMessage& ContentType(const std::u16string& type) {
        std::memset(m_record.szContentType, 0, sizeof m_record.szContentType);
        for (size_t i = 0; i < type.size() && i + 1 < std::size(m_record.szContentType); ++i)
            m_record.szContentType[i] = static_cast<MAILWCHAR>(type[i]);
        return *this;
    }
    HostMessage& Flags(uint32_t dwFlags) { return Set(m_record.dwFlags = dwFlags); }
    HostMessage& Priority(int32_t n) { return Set(m_record.nPriority = n); }
    // A null name or address stays a null pointer in the record.
    HostMessage& Originator(const char16_t* name, const char16_t* address) {
        m_originator = MAILRECIPIENT{0, 0, Keep(name), Keep(address)};
        return Set(m_bOriginator = true);
    }
    HostMessage& Recipient(int32_t kind, const char16_t* name, const char16_t* address) {
        return Set(m_recipients.emplace_back(MAILRECIPIENT{0, kind, Keep(name), Keep(address)}));
    }
    HostMessage& To(const char16_t* n, const char16_t* a) { return Recipient(MAILRECIP_TO, n, a); }
    HostMessage& Cc(const char16_t* n, const char16_t* a) { return Recipient(MAILRECIP_CC, n, a); }
    HostMessage& Bcc(const char16_t* n, const char16_t* a) {
        return Recipient(MAILRECIP_BCC, n, a);
    }
    HostMessage& Attach(const std::string& path, const char16_t* name = nullptr) {
        return Set(m_attachments.emplace_back(MAILATTACHMENT{0, Keep(name), Keep(FromUtf8(path))}));
    }

    // Valid while this object lives unchanged.
    const MAILMESSAGE* Record() {
        m_record.pOriginator = m_bOriginator ? &m_originator : nullptr;
        m_record.nRecipients = static_cast<int32_t>(m_recipients.size());
        m_record.pRecipients = m_recipients.empty() ? nullptr : m_recipients.data();
        m_record.nAttachments = static_cast<int32_t>(m_attachments.size());
        m_record.pAttachments = m_attachments.empty() ? nullptr : m_attachments.data();
        return &m_record;
    }

private:
    template <typename T>
    HostMessage& Set(const T&) {
        return *this;
    }
    const MAILWCHAR* Keep(const std::u16string& s) {
        return reinterpret_cast<const MAILWCHAR*>(m_texts.emplace_back(s).c_str());
    }
    const MAILWCHAR* Keep(const char16_t* s) {
        return s == nullptr ? nullptr : Keep(std::u16string(s));
    }

    std::deque<std::u16string> m_texts;
    std::vector<MAILRECIPIENT> m_recipients;
    std::vector<MAILATTACHMENT> m_attachments;
    MAILRECIPIENT m_originator{};
    bool m_bOriginator = false;
    MAILMESSAGE m_record{};
};
