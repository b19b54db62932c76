#include "HostMessage.h"

#include <cstring>
#include <iterator>

#include "LogCapture.h"

HostMessage::HostMessage() {
    std::memset(&m_record, 0, sizeof m_record);
    m_record.nBodyType = -1;  // no body until one is given
}

const MAILWCHAR* HostMessage::Keep(const std::u16string& s) {
    m_texts.push_back(s);
    return reinterpret_cast<const MAILWCHAR*>(m_texts.back().c_str());
}

HostMessage& HostMessage::Subject(const std::u16string& s) {
    m_record.pszSubject = Keep(s);
    return *this;
}

HostMessage& HostMessage::Body(const std::u16string& text) {
    m_record.nBodyType = MAILBODY_MEMORY;
    m_record.pszBody = Keep(text);
    m_record.nBodyLength = static_cast<int32_t>(text.size());
    return *this;
}

HostMessage& HostMessage::BodyFile(const std::string& path) {
    m_record.nBodyType = MAILBODY_FILE;
    m_record.pszBody = Keep(FromUtf8(path));
    m_record.nBodyLength = 0;
    return *this;
}

HostMessage& HostMessage::ContentType(const std::u16string& type) {
    std::memset(m_record.szContentType, 0, sizeof m_record.szContentType);
    for (size_t i = 0; i < type.size() && i + 1 < std::size(m_record.szContentType); ++i)
        m_record.szContentType[i] = static_cast<MAILWCHAR>(type[i]);
    return *this;
}

HostMessage& HostMessage::Flags(uint32_t dwFlags) {
    m_record.dwFlags = dwFlags;
    return *this;
}

HostMessage& HostMessage::Priority(int32_t n) {
    m_record.nPriority = n;
    return *this;
}

HostMessage& HostMessage::Originator(const char16_t* name, const char16_t* address) {
    m_originator = MAILRECIPIENT{};
    m_originator.pszName = Keep(name);
    m_originator.pszAddress = Keep(address);
    m_bOriginator = true;
    return *this;
}

HostMessage& HostMessage::Recipient(int32_t kind, const char16_t* name, const char16_t* address) {
    MAILRECIPIENT r{};
    r.nKind = kind;
    r.pszName = Keep(name);
    r.pszAddress = Keep(address);
    m_recipients.push_back(r);
    return *this;
}

HostMessage& HostMessage::Attach(const std::string& path, const char16_t* name) {
    MAILATTACHMENT a{};
    a.pszPath = Keep(FromUtf8(path));
    a.pszName = Keep(name);
    m_attachments.push_back(a);
    return *this;
}

const MAILMESSAGE* HostMessage::Record() {
    m_record.pOriginator = m_bOriginator ? &m_originator : nullptr;
    m_record.nRecipients = static_cast<int32_t>(m_recipients.size());
    m_record.pRecipients = m_recipients.empty() ? nullptr : m_recipients.data();
    m_record.nAttachments = static_cast<int32_t>(m_attachments.size());
    m_record.pAttachments = m_attachments.empty() ? nullptr : m_attachments.data();
    return &m_record;
}
