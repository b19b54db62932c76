// One mailbox: a display name and a bare e-mail address.
#pragma once

#include <string>

class TSMTPAddress {
public:
    TSMTPAddress() = default;
    TSMTPAddress(const std::u16string& sFriendlyName, const std::u16string& sEmailAddress);
    // Parses "Name <address>" or a bare address.
    explicit TSMTPAddress(const std::u16string& sText);

    // The display name (Q-encoded when bEncode and it holds non-ASCII
    // characters) followed by " <address>", or the bare address.
    std::u16string GetRegularFormat(bool bEncode, const std::u16string& sCharset) const;

    std::u16string m_sFriendlyName;
    std::u16string m_sEmailAddress;
};
