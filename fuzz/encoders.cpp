// The text encoders read back as a reader would: quoted-printable bodies
// decode to their bytes in lines of at most 76 and never split an escape;
// header texts decode to their UTF-8 within 76 columns when encoded (998 when
// plain), in encoded words of at most 75 characters, with no line break but a
// fold; attachment names are ASCII parameters on lines of at most 78;
// dot-stuffed data never holds a line "." before its end.
#include <cstdint>
#include <string>

#include "HeaderWords.h"
#include "Require.h"
#include "api/HeaderText.h"
#include "mime/TSMTPBodyPart.h"
#include "vxutil.h"

using namespace fuzzing;

namespace {

int Hex(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool DecodeQuotedPrintable(const std::string& e, std::string& bytes) {
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i] != '=') {
            bytes.push_back(e[i]);
        } else if (e.compare(i, 3, "=\r\n") == 0) {
            i += 2;
        } else if (i + 2 < e.size() && Hex(e[i + 1]) >= 0 && Hex(e[i + 2]) >= 0) {
            bytes.push_back(static_cast<char>(Hex(e[i + 1]) * 16 + Hex(e[i + 2])));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

void CheckQuotedPrintable(const std::string& text) {
    const std::string encoded = TSMTPBodyPart::QuotedPrintableEncode(text);
    std::string decoded;
    FUZZ_REQUIRE(DecodeQuotedPrintable(encoded, decoded));
    FUZZ_REQUIRE(decoded == text.substr(0, text.find('\0')));
    // CR and LF each end a line. A line holds at most 76 characters, the "="
    // of a soft break included, and never ends with a blank.
    std::size_t start = 0;
    for (std::size_t i = 0; i <= encoded.size(); ++i) {
        if (i < encoded.size() && encoded[i] != '\r' && encoded[i] != '\n')
            continue;
        FUZZ_REQUIRE(i - start <= 76u);
        FUZZ_REQUIRE(i == start || (encoded[i - 1] != ' ' && encoded[i - 1] != '\t'));
        start = i + 1;
    }
}

void CheckDotStuffing(const std::string& text) {
    std::string data = text;
    TSMTPBodyPart::MakeTransparent(data);
    // Every line that starts with "." starts with "..", and taking one dot
    // off each such line gives the text back.
    std::string unstuffed;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '.' && (i == 0 || data[i - 1] == '\n')) {
            FUZZ_REQUIRE(i + 1 < data.size() && data[i + 1] == '.');
            ++i;
        }
        unstuffed.push_back(data[i]);
    }
    FUZZ_REQUIRE(unstuffed == text);
}

bool IsAscii(const std::string& s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) > 0x7F)
            return false;
    }
    return true;
}

void CheckHeaderText(const std::u16string& value, std::size_t nColumn, bool bPhrase) {
    std::string expected;
    strWideToAnsi(expected, value.c_str(), static_cast<int>(value.size()), CP_UTF8, false);
    expected.resize(expected.find('\0') == std::string::npos ? expected.size()
                                                             : expected.find('\0'));
    const std::string out = bPhrase ? TSMTPBodyPart::HeaderEncodePhrase(value, u"utf-8", nColumn)
                                    : TSMTPBodyPart::HeaderEncode(value, u"utf-8", nColumn);
    FUZZ_REQUIRE(OnlyFolds(out));
    FUZZ_REQUIRE(LinesWithin(out, nColumn, 998));
    const std::string unfolded = Unfold(out);
    if (IsAscii(expected) && unfolded == expected)
        return;
    std::string decoded;
    FUZZ_REQUIRE(DecodeWords(unfolded, decoded));
    FUZZ_REQUIRE(decoded == expected);
    FUZZ_REQUIRE(LinesWithin(out, nColumn, 76));
    FUZZ_REQUIRE(WordsWithin(out, 75));
    FUZZ_REQUIRE(IsAscii(out));
}

void CheckQEncode(const std::u16string& value) {
    std::string utf8;
    strWideToAnsi(utf8, value.c_str(), static_cast<int>(value.size()), CP_UTF8, false);
    utf8.resize(utf8.find('\0') == std::string::npos ? utf8.size() : utf8.find('\0'));
    const std::string out = TSMTPBodyPart::HeaderEncode(value, u"utf-8");
    if (IsAscii(utf8)) {
        FUZZ_REQUIRE(out == utf8);
        return;
    }
    std::string decoded;
    FUZZ_REQUIRE(DecodeWords(out, decoded));
    FUZZ_REQUIRE(decoded == utf8);
    FUZZ_REQUIRE(out.find_first_of("\r\n ") == std::string::npos);
}

// An attachment's name and filename parameters: ASCII, folded only, on
// lines of at most 78 with the blank before them.
void CheckParameters(const std::u16string& value) {
    for (const std::string& out :
         {TSMTPBodyPart::NameParameter(value), TSMTPBodyPart::FilenameParameter(value)}) {
        FUZZ_REQUIRE(IsAscii(out));
        FUZZ_REQUIRE(OnlyFolds(out));
        FUZZ_REQUIRE(LinesWithin(out, 1, 78));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t nColumn = data[0] % 76;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckQuotedPrintable(text);
    CheckDotStuffing(text);
    // Header texts reach the encoders as the send operation leaves them: on
    // one line.
    std::u16string wide;
    strAnsiToWide(wide, text.data(), static_cast<int>(text.size()), CP_UTF8, false);
    const std::u16string value = OneHeaderLine(wide);
    CheckQEncode(value);
    CheckHeaderText(value, nColumn, false);
    CheckHeaderText(value, nColumn, true);
    CheckParameters(value);
    return 0;
}
