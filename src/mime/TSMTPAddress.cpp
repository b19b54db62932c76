#include "mime/TSMTPAddress.h"

#include "diag/HostLog.h"
#include "mime/TSMTPBodyPart.h"
#include "vxutil.h"

namespace {
const char16_t* const kBlanks = u" \t\r\n";
const char16_t* const kInvalidAddress = u"Email Address must be valid.";
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
