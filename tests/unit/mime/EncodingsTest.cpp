#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include "LogCapture.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/Utf.h"

using P = TSMTPBodyPart;

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A strict quoted-printable decoder: "=" must start a soft line break or an
// escape of two upper-case hex digits; anything else fails the test.
std::string DecodeQuotedPrintable(const std::string& encoded) {
    std::string out;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '=') {
            out.push_back(encoded[i]);
            continue;
        }
        if (encoded.compare(i, 3, "=\r\n") == 0) {
            i += 2;
            continue;
        }
        int hi = i + 1 < encoded.size() ? HexValue(encoded[i + 1]) : -1;
        int lo = i + 2 < encoded.size() ? HexValue(encoded[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            ADD_FAILURE() << "broken escape at " << i << " in\n" << encoded;
            return out;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

// The encoding decodes back to the text, and no line is longer than 79.
void ExpectRoundTrip(const std::string& text) {
    const std::string encoded = P::QuotedPrintableEncode(text);
    ASSERT_EQ(DecodeQuotedPrintable(encoded), text);
    size_t from = 0;
    for (size_t at = encoded.find("\r\n"); at != std::string::npos;
         at = encoded.find("\r\n", from)) {
        ASSERT_LE(at - from, 79u) << encoded;
        from = at + 2;
    }
    ASSERT_LE(encoded.size() - from, 79u) << encoded;
}

std::string Repeat(size_t n, char c) {
    return std::string(n, c);
}

// A header value of Q-encoded words as readers take it: the words decoded and
// the folds between them dropped. Fails the test when a line passes column 76
// (the first starting at nColumn), a word is longer than 75 characters, a fold
// is not CRLF and a blank, or a word splits a UTF-8 character.
std::string ReadEncodedWords(const std::string& value, size_t nColumn) {
    const std::string open = "=?utf-8?q?";
    std::string text;
    size_t column = nColumn;
    size_t pos = 0;
    if (value.compare(0, 3, "\r\n ") == 0) {
        pos = 3;
        column = 1;
    }
    while (pos < value.size()) {
        const size_t end = value.find("?=", pos + open.size());
        if (value.compare(pos, open.size(), open) != 0 || end == std::string::npos) {
            ADD_FAILURE() << "not an encoded word at " << pos << " in\n" << value;
            return text;
        }
        std::string word;
        for (size_t i = pos + open.size(); i < end; ++i) {
            if (value[i] == '_') {
                word.push_back(' ');
            } else if (value[i] == '=' && HexValue(value[i + 1]) >= 0 &&
                       HexValue(value[i + 2]) >= 0) {
                word.push_back(
                    static_cast<char>(HexValue(value[i + 1]) * 16 + HexValue(value[i + 2])));
                i += 2;
            } else {
                word.push_back(value[i]);
            }
        }
        EXPECT_EQ(platform::Utf16ToUtf8(platform::Utf8ToUtf16(word)), word) << "whole characters";
        EXPECT_LE(end + 2 - pos, 75u) << "an encoded word of at most 75 characters\n" << value;
        column += end + 2 - pos;
        EXPECT_LE(column, 76u) << value;
        text += word;
        pos = end + 2;
        if (pos < value.size()) {
            EXPECT_EQ(value.compare(pos, 3, "\r\n "), 0) << value;
            pos += 3;
            column = 1;
        }
    }
    return text;
}

}  // namespace

TEST(QuotedPrintable, EscapesAndLineBreaks) {
    std::string words;  // twenty four-letter words, 99 characters
    for (int i = 0; i < 20; ++i)
        words += std::string(i ? " " : "") + "abcd";
    const std::string a67 = Repeat(67, 'a'), b20 = Repeat(20, 'b');
    const struct {
        const char* what;
        std::string text, encoded;
    } cases[] = {
        {"escapes exactly the bytes that cannot stand for themselves", "a=b", "a=3Db"},
        {"controls, DEL and 8-bit", "\xe4\x7f\x0c\x01\x1f\xff", "=E4=7F=0C=01=1F=FF"},
        {"blanks and printables stay", "<>~!\t end ", "<>~!\t end "},
        {"line ends stay", "line\r\nnext\nlast\r", "line\r\nnext\nlast\r"},
        {"the text ends at NUL", std::string("ab\0cd", 5), "ab"},
        {"empty", "", ""},
        {"the 100-letter line: cut after the 77th character", Repeat(100, 'x'),
         Repeat(77, 'x') + "=\r\n" + Repeat(23, 'x')},
        {"77 characters before a line end stay whole", Repeat(77, 'y') + "\r\nz",
         Repeat(77, 'y') + "\r\nz"},
        {"78 before a line end do not", Repeat(78, 'y') + "\r\n", Repeat(77, 'y') + "=\r\ny\r\n"},
        {"the last line of the text may hold 78", Repeat(78, 'y'), Repeat(78, 'y')},
        {"twenty four-letter words: break after the last blank that fits", words,
         words.substr(0, 75) + "=\r\n" + words.substr(75)},
        {"a tab is a break position too", Repeat(70, 'a') + "\t" + b20,
         Repeat(70, 'a') + "\t=\r\n" + b20},
        {"a break right after an escape", a67 + "\xe4" + b20, a67 + "=E4=\r\n" + b20},
        {"an escape that ends at the 78th character ends the line", Repeat(75, 'a') + "=" + b20,
         Repeat(75, 'a') + "=3D=\r\n" + b20},
        {"an escape is never cut in two", Repeat(76, 'a') + "\xc3\xa4" + Repeat(10, 'b'),
         Repeat(76, 'a') + "=\r\n=C3=A4" + Repeat(10, 'b')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(P::QuotedPrintableEncode(c.text), c.encoded) << c.what;
}

TEST(QuotedPrintable, MixedTextAndEveryEscapePositionDecodeBack) {
    std::mt19937 random(12345);
    const std::string pieces[] = {"word", " ", "\xc3\xa4",   "=",   "\t",
                                  "\r\n", ".", "longerword", "\x7f"};
    for (int round = 0; round < 200; ++round) {
        std::string text;
        int count = static_cast<int>(random() % 400);
        for (int i = 0; i < count; ++i) {
            size_t k = random() % 9;
            // Line ends are rare, so that most lines need soft breaks.
            if (k == 5 && random() % 10 != 0)
                k = 0;
            text += pieces[k];
        }
        SCOPED_TRACE(round);
        ExpectRoundTrip(text);
    }
    for (size_t k = 0; k < 240; ++k) {
        for (const char* tail : {"\xc3\xa4", "=\xe4 ", "\x01"}) {
            SCOPED_TRACE(k);
            ExpectRoundTrip(Repeat(k, 'a') + tail + Repeat(k % 90, 'b'));
        }
    }
}

TEST(EncodedWords, OnlyTextBeyondAsciiIsEncoded) {
    EXPECT_EQ(P::QEncode("What? a=b_c", "utf-8"), "What? a=b_c");
    EXPECT_EQ(P::QEncode("\xc3\xa4 ? = _", "utf-8"), "=?utf-8?q?=C3=A4_=3F_=3D_=5F?=");
    EXPECT_EQ(P::QEncode("\xc3\xa4(\t)\",", "utf-8"), "=?utf-8?q?=C3=A4(\t)\",?=")
        << "controls and specials are copied";
    EXPECT_EQ(P::QEncode("", "utf-8"), "");
    EXPECT_EQ(P::QEncode(nullptr, "utf-8"), "");

    // HeaderEncode writes UTF-8 whatever the label says.
    EXPECT_EQ(P::HeaderEncode(u"Caf\u00e9", u"iso-8859-1"), "=?iso-8859-1?q?Caf=C3=A9?=");
    EXPECT_EQ(P::HeaderEncode(u"\u00dcbersicht 2.pdf", u"utf-8"),
              "=?utf-8?q?=C3=9Cbersicht_2.pdf?=");
    EXPECT_EQ(P::HeaderEncode(u"plain text", u"utf-8"), "plain text");
    EXPECT_EQ(P::HeaderEncode(u"", u"utf-8"), "");
    // One word however long: no splitting, no folding.
    std::string word = P::HeaderEncode(std::u16string(100, u'\u20ac'), u"utf-8");
    EXPECT_EQ(word.size(), 10 + 900 + 2u);
    EXPECT_EQ(word.find("\r\n"), std::string::npos);
}

TEST(EncodedWords, LongTextsAreFoldedFromTheirColumn) {
    const std::u16string ae9(9, u'\u00e4');
    const std::string qae9 = "=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4";
    const struct {
        const char* what;
        std::u16string value;
        size_t column;
        std::string expected;
    } exact[] = {
        {"a word that ends at column 76 stays as it is", ae9 + u"x", 9,
         "=?utf-8?q?" + qae9 + "x?="},
        {"one character more: a second word on a folded line", ae9 + u"xy", 9,
         "=?utf-8?q?" + qae9 + "x?=\r\n =?utf-8?q?y?="},
        {"no room for one character: the first word starts a folded line", u"\u00e4", 70,
         "\r\n =?utf-8?q?=C3=A4?="},
        {"ASCII up to column 998 stays as it is", std::u16string(989, u'a'), 9, Repeat(989, 'a')},
        {"ASCII is folded before its blanks", std::u16string(985, u'a') + u"  b", 11,
         Repeat(985, 'a') + "\r\n  b"},
    };
    for (const auto& c : exact)
        EXPECT_EQ(P::HeaderEncode(c.value, u"utf-8", c.column), c.expected) << c.what;

    std::u16string mixed;  // two-, three- and four-byte characters
    while (mixed.size() < 600)
        mixed += u"Gr\u00fc\u00dfe \u2013 \U0001F600 ";
    const std::u16string longWord(1000, u'a');
    for (const auto& [value, column] : {std::pair{mixed, size_t{9}}, std::pair{longWord, size_t{9}},
                                        std::pair{mixed, size_t{200}}, std::pair{mixed, size_t{0}},
                                        // one word of 76 characters would fit a line from column 0
                                        std::pair{ae9 + u"\u00e4abcd", size_t{0}}}) {
        const std::string encoded = P::HeaderEncode(value, u"utf-8", column);
        EXPECT_EQ(ReadEncodedWords(encoded, column), platform::Utf16ToUtf8(value));
    }

    std::u16string words;  // ASCII with blanks, past column 998
    while (words.size() < 1000)
        words += u"word ";
    const std::string folded = P::HeaderEncode(words, u"utf-8", 9);
    std::string unfolded;
    size_t from = 0;
    for (size_t at = folded.find("\r\n"); at != std::string::npos; at = folded.find("\r\n", from)) {
        EXPECT_LE(at - from + (from == 0 ? 9 : 0), 78u);
        unfolded += folded.substr(from, at - from);
        from = at + 2;
    }
    EXPECT_EQ(unfolded + folded.substr(from), platform::Utf16ToUtf8(words));
}

TEST(DotStuffing, EachLineStartingWithADotGetsExactlyOneMore) {
    // Inside a text the first line is not counted: the block does that.
    std::string text = ".first\r\n.second\r\n..third\r\nplain\r\n.";
    P::FixSingleDotA(text);
    EXPECT_EQ(text, ".first\r\n..second\r\n...third\r\nplain\r\n..");
    std::u16string wide = u".a\n.b\r\n..c\n";
    P::FixSingleDotT(wide);
    EXPECT_EQ(wide, u".a\n..b\r\n...c\n");
    for (std::string body : {"no dots\r\nhere.\r\n", "a.\r\nb", ""}) {
        const std::string before = body;
        P::FixSingleDotA(body);
        P::MakeTransparent(body);
        EXPECT_EQ(body, before);
    }
    std::u16string emptyWide;
    P::FixSingleDotT(emptyWide);
    EXPECT_EQ(emptyWide, u"");
    // A body block starts a line.
    for (const auto& [body, stuffed] :
         {std::pair<std::string, std::string>{".start\r\n.x\r\n", "..start\r\n..x\r\n"},
          {".", ".."}}) {
        std::string block = body;
        P::MakeTransparent(block);
        EXPECT_EQ(block, stuffed);
    }
}

TEST(Encodings, EachRunsInItsTraceScope) {
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(P::HexDigit(i), "0123456789ABCDEF"[i]) << "upper-case digits";
    LogCapture capture;
    P::QuotedPrintableEncode("x");
    P::HeaderEncode(u"x", u"utf-8");
    std::string s;
    P::FixSingleDotA(s);
    std::u16string w;
    P::FixSingleDotT(w);
    P::HexDigit(1);
    for (const char16_t* name :
         {u"TSMTPBodyPart::QuotedPrintableEncode", u"TSMTPBodyPart::HeaderEncode",
          u"TSMTPBodyPart::QEncode", u"TSMTPBodyPart::FixSingleDotA",
          u"TSMTPBodyPart::FixSingleDotT", u"TSMTPBodyPart::HexDigit"}) {
        int enter = 0;
        int exit = 0;
        for (const auto& r : capture.Records()) {
            if (r.function != name)
                continue;
            enter += r.action == u"enter" ? 1 : 0;
            exit += r.action == u"exit" ? 1 : 0;
        }
        EXPECT_EQ(enter, 1) << ToUtf8(name);
        EXPECT_EQ(exit, 1) << ToUtf8(name);
    }
}
