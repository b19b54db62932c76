#include "mime/TSMTPAddress.h"

#include "diag/HostLog.h"
#include "mime/TSMTPBodyPart.h"
#include "vxutil.h"

namespace {
const char16_t* const kBlanks = u" \t\r\n";
const char16_t* const kInvalidAddress = u"Email Address must be valid.";
// Where a line that holds an encoded word should end (RFC 2047), and where
// every header line must (RFC 5322).
constexpr size_t kEncodedLineLimit = 76;
constexpr size_t kLineLimit = 998;
}  // namespace

TSMTPAddress::TSMTPAddress(const std::u16string& sFriendlyName, const std::u16string& sEmailAddress)
    : m_sFriendlyName(sFriendlyName), m_sEmailAddress(sEmailAddress) {
    if (m_sEmailAddress.empty())
        HostLogMessage(HOSTLOG_WARNING, kInvalidAddress);
}

TSMTPAddress::TSMTPAddress(const std::u16string& sText) {
    std::u16string cleaned = sText;
    trim(cleaned, kBlanks, true, true);
    size_t open = cleaned.find(u'<');
    size_t close = cleaned.find(u'>');
    if (open != std::u16string::npos && close != std::u16string::npos && close >= open + 2) {
        m_sEmailAddress = cleaned.substr(open + 1, close - open - 1);
        m_sFriendlyName = cleaned.substr(0, open);
        trim(m_sFriendlyName, kBlanks, true, true);
    } else {
        m_sEmailAddress = cleaned;
    }
}

std::u16string TSMTPAddress::GetRegularFormat(bool bEncode, const std::u16string& sCharset) const {
    if (m_sEmailAddress.empty())
        HostLogMessage(HOSTLOG_WARNING, kInvalidAddress);
    if (m_sFriendlyName.empty())
        return m_sEmailAddress;
    if (!bEncode)
        return m_sFriendlyName + u" <" + m_sEmailAddress + u">";
    std::string encoded = TSMTPBodyPart::HeaderEncode(m_sFriendlyName, sCharset);
    std::u16string name;
    strAnsiToWide(name, encoded.c_str(), static_cast<int>(encoded.size()), CP_ACP, false);
    return name + u" <" + m_sEmailAddress + u">";
}

std::u16string TSMTPAddress::GetRegularFormat(bool bEncode, const std::u16string& sCharset,
                                              size_t nColumn, size_t nAfter) const {
    if (!bEncode || m_sFriendlyName.empty())
        return GetRegularFormat(bEncode, sCharset);
    if (m_sEmailAddress.empty())
        HostLogMessage(HOSTLOG_WARNING, kInvalidAddress);
    const std::string encoded =
        TSMTPBodyPart::HeaderEncodePhrase(m_sFriendlyName, sCharset, nColumn);
    std::string plain;
    std::string address;
    strWideToAnsi(plain, m_sFriendlyName.c_str(), static_cast<int>(m_sFriendlyName.size()), CP_UTF8,
                  false);
    strWideToAnsi(address, m_sEmailAddress.c_str(), static_cast<int>(m_sEmailAddress.size()),
                  CP_UTF8, false);
    // The column where the name ends, and what " <address>" and whatever
    // follows the record add to that line. A line that holds encoded words
    // (or a folded name) ends by column 76 where the address can move.
    const size_t lf = encoded.rfind('\n');
    const size_t end = lf == std::string::npos ? nColumn + encoded.size() : encoded.size() - lf - 1;
    const size_t tail = address.size() + 3 + nAfter;
    const bool bFold =
        (encoded != plain && end + tail > kEncodedLineLimit) || end + tail > kLineLimit;
    std::u16string name;
    strAnsiToWide(name, encoded.c_str(), static_cast<int>(encoded.size()), CP_ACP, false);
    return name + (bFold ? u"\r\n <" : u" <") + m_sEmailAddress + u">";
}
