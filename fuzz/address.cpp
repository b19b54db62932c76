// Address records as the send operation makes them from host texts: parsed
// from "Name <address>" or a bare address, formatted for header lines, and
// placed in a whole header block. The name reads back as it was; no header
// line passes 998 characters, nor 76 where a name is encoded; every line
// break is a fold or ends a header line.
#include <cstdint>
#include <string>

#include "HeaderWords.h"
#include "Require.h"
#include "api/HeaderText.h"
#include "mime/TSMTPAddress.h"
#include "mime/TSMTPMessage.h"
#include "vxutil.h"

using namespace fuzzing;

namespace {

// The send operation refuses longer addresses before any header is made.
constexpr std::size_t kMaxAddress = 254;

std::string Utf8(const std::u16string& text) {
    std::string bytes;
    strWideToAnsi(bytes, text.c_str(), static_cast<int>(text.size()), CP_UTF8, false);
    return bytes;
}

void CheckParse(const std::u16string& text, const TSMTPAddress& address) {
    if (address.m_sFriendlyName.empty())
        return;
    // A name comes only with an address in brackets after it.
    FUZZ_REQUIRE(!address.m_sEmailAddress.empty());
    FUZZ_REQUIRE(text.find(u"<" + address.m_sEmailAddress + u">") != std::u16string::npos);
    FUZZ_REQUIRE(address.GetRegularFormat(false, u"utf-8") ==
                 address.m_sFriendlyName + u" <" + address.m_sEmailAddress + u">");
}

void CheckFormat(const TSMTPAddress& address, std::size_t nColumn, std::size_t nAfter) {
    const std::string out = Utf8(address.GetRegularFormat(true, u"utf-8", nColumn, nAfter));
    FUZZ_REQUIRE(OnlyFolds(out));
    if (address.m_sFriendlyName.empty())
        return;
    const std::string tail = Utf8(address.m_sEmailAddress) + ">";
    FUZZ_REQUIRE(out.size() > tail.size() &&
                 out.compare(out.size() - tail.size(), tail.size(), tail) == 0);
    std::string name = out.substr(0, out.size() - tail.size());
    const bool bFolded = name.size() >= 4 && name.compare(name.size() - 4, 4, "\r\n <") == 0;
    FUZZ_REQUIRE(bFolded || (name.size() >= 2 && name.compare(name.size() - 2, 2, " <") == 0));
    name.resize(name.size() - (bFolded ? 4 : 2));
    std::string expected = Utf8(address.m_sFriendlyName);
    expected.resize(expected.find('\0') == std::string::npos ? expected.size()
                                                             : expected.find('\0'));
    std::string decoded;
    const std::string unfolded = Unfold(name);
    FUZZ_REQUIRE(unfolded == expected || (DecodeWords(unfolded, decoded) && decoded == expected));
    if (unfolded != expected)
        FUZZ_REQUIRE(LinesWithin(name, nColumn, 76) && WordsWithin(name, 75));
    if (address.m_sEmailAddress.size() <= kMaxAddress)
        FUZZ_REQUIRE(LinesWithin(out + std::string(nAfter, ','), nColumn, 998));
}

// Every line of the block ends in CRLF and holds at most 998 characters;
// those after the first of a header are folds.
void CheckHeaderBlock(const std::string& header) {
    FUZZ_REQUIRE(header.size() >= 2 && header.compare(header.size() - 2, 2, "\r\n") == 0);
    std::size_t start = 0;
    while (start < header.size()) {
        const std::size_t end = header.find("\r\n", start);
        FUZZ_REQUIRE(end != std::string::npos);
        const std::string line = header.substr(start, end - start);
        FUZZ_REQUIRE(line.size() <= 998);
        FUZZ_REQUIRE(line.find_first_of("\r\n") == std::string::npos);
        FUZZ_REQUIRE(!line.empty() &&
                     (line[0] == ' ' || line[0] == '\t' || line.find(':') != std::string::npos));
        start = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t nColumn = data[0] % 76;
    const std::size_t nAfter = data[1] % 2;
    std::u16string wide;
    strAnsiToWide(wide, reinterpret_cast<const char*>(data) + 2, static_cast<int>(size - 2),
                  CP_UTF8, false);
    // As the send operation does with the host's texts.
    const std::u16string text = OneHeaderLine(wide);
    const TSMTPAddress address(text);
    CheckParse(text, address);
    CheckFormat(address, nColumn, nAfter);

    if (address.m_sEmailAddress.size() > kMaxAddress)
        return 0;
    TSMTPMessage message;
    message.m_From = address;
    message.AddRecipient(address, TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(u"Bob", u"bob@example.org"), TSMTPMessage::TO);
    message.AddRecipient(address, TSMTPMessage::TO);
    message.AddRecipient(address, TSMTPMessage::CC);
    message.m_sSubject = address.m_sFriendlyName.empty() ? text : address.m_sFriendlyName;
    message.AddTextBody(u"Body");
    CheckHeaderBlock(message.getHeader());
    return 0;
}
