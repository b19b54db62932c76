// The host's message record for Mail_Send, filled field by field as the host
// fills it, with the texts and arrays it points to.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "mailapi.h"

// The host's message record and everything it points to, kept alive together.
class HostMessage {
public:
    HostMessage();
    // The record points into this object: it moves (the texts and arrays keep
    // their places) but is never copied.
    HostMessage(const HostMessage&) = delete;
    HostMessage& operator=(const HostMessage&) = delete;
    HostMessage(HostMessage&&) = default;
    HostMessage& operator=(HostMessage&&) = default;

    HostMessage& Subject(const std::u16string& s);
    HostMessage& Body(const std::u16string& text);
    HostMessage& BodyFile(const std::string& path);
    HostMessage& ContentType(const std::u16string& type);
    HostMessage& Flags(uint32_t dwFlags);
    HostMessage& Priority(int32_t n);
    // A null name or address stays a null pointer in the record.
    HostMessage& Originator(const char16_t* name, const char16_t* address);
    HostMessage& Recipient(int32_t kind, const char16_t* name, const char16_t* address);
    HostMessage& To(const char16_t* name, const char16_t* address) {
        return Recipient(MAILRECIP_TO, name, address);
    }
    HostMessage& Cc(const char16_t* name, const char16_t* address) {
        return Recipient(MAILRECIP_CC, name, address);
    }
    HostMessage& Bcc(const char16_t* name, const char16_t* address) {
        return Recipient(MAILRECIP_BCC, name, address);
    }
    HostMessage& Attach(const std::string& path, const char16_t* name = nullptr);

    // The record with its array pointers set; valid while this object lives
    // and is not changed.
    const MAILMESSAGE* Record();

private:
    const MAILWCHAR* Keep(const std::u16string& s);
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
