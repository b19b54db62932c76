// One mailbox: a display name and a bare e-mail address.
#pragma once

#include <cstddef>
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
    // The same for a header line on which nColumn characters come before the
    // record and nAfter follow it (the "," of an address list): a long name is
    // folded (HeaderEncodePhrase), and the address starts a folded line of its
    // own when it would take an encoded or folded name's line past column 76.
    std::u16string GetRegularFormat(bool bEncode, const std::u16string& sCharset, size_t nColumn,
                                    size_t nAfter) const;

    std::u16string m_sFriendlyName;
    std::u16string m_sEmailAddress;
};
