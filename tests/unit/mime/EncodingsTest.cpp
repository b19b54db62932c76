#include <gtest/gtest.h>

#include <random>
#include <string>

#include "LogCapture.h"
#include "mime/TSMTPBodyPart.h"

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

// Lengths of the lines between CRLFs.
std::vector<size_t> LineLengths(const std::string& text) {
    std::vector<size_t> lengths;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
        lengths.push_back(at - from);
        from = at + 2;
    }
    lengths.push_back(text.size() - from);
    return lengths;
}

}  // namespace

TEST(QuotedPrintable, EscapesExactlyTheBytesThatCannotStandForThemselves) {
    EXPECT_EQ(P::QuotedPrintableEncode("a=b"), "a=3Db");
    EXPECT_EQ(P::QuotedPrintableEncode("\xe4\x7f\x0c\x01\x1f\xff"), "=E4=7F=0C=01=1F=FF");
    EXPECT_EQ(P::QuotedPrintableEncode("<>~!\t end "), "<>~!\t end ");
    EXPECT_EQ(P::QuotedPrintableEncode("line\r\nnext\nlast\r"), "line\r\nnext\nlast\r");
    EXPECT_EQ(P::QuotedPrintableEncode(std::string("ab\0cd", 5)), "ab") << "the text ends at NUL";
    EXPECT_EQ(P::QuotedPrintableEncode(""), "");
}

TEST(QuotedPrintable, CutsALongWordAfterItsSeventySeventhCharacter) {
    EXPECT_EQ(P::QuotedPrintableEncode(std::string(100, 'x')),
              std::string(77, 'x') + "=\r\n" + std::string(23, 'x'));
    // A line of 77 characters before its line end stays whole; one of 78 does not.
    EXPECT_EQ(P::QuotedPrintableEncode(std::string(77, 'y') + "\r\nz"),
              std::string(77, 'y') + "\r\nz");
    EXPECT_EQ(P::QuotedPrintableEncode(std::string(78, 'y') + "\r\n"),
              std::string(77, 'y') + "=\r\ny\r\n");
    // The last line of the text may hold 78 characters.
    EXPECT_EQ(P::QuotedPrintableEncode(std::string(78, 'y')), std::string(78, 'y'));
}

TEST(QuotedPrintable, BreaksAfterTheLastBlankThatFits) {
    std::string words;
    for (int i = 0; i < 20; ++i)
        words += std::string(i ? " " : "") + "abcd";
    ASSERT_EQ(words.size(), 99u);
    EXPECT_EQ(P::QuotedPrintableEncode(words), words.substr(0, 75) + "=\r\n" + words.substr(75));
    EXPECT_EQ(words.substr(0, 75).back(), ' ') << "the first line ends with the blank";
    EXPECT_EQ(words.substr(75).size(), 24u);
    // A tab is a break position too.
    std::string tabbed = std::string(70, 'a') + "\t" + std::string(20, 'b');
    EXPECT_EQ(P::QuotedPrintableEncode(tabbed),
              std::string(70, 'a') + "\t=\r\n" + std::string(20, 'b'));
}

TEST(QuotedPrintable, BreaksRightAfterAnEscape) {
    // 67 letters and one escape end at the 70th character; 20 letters follow.
    std::string text = std::string(67, 'a') + "\xe4" + std::string(20, 'b');
    EXPECT_EQ(P::QuotedPrintableEncode(text),
              std::string(67, 'a') + "=E4=\r\n" + std::string(20, 'b'));
    // An escape that ends at the 78th character still ends the line: 79 before CRLF.
    text = std::string(75, 'a') + "=" + std::string(20, 'b');
    EXPECT_EQ(P::QuotedPrintableEncode(text),
              std::string(75, 'a') + "=3D=\r\n" + std::string(20, 'b'));
}

TEST(QuotedPrintable, NeverCutsAnEscapeInTwo) {
    // The 77th character opens an escape and nothing earlier allows a break:
    // the line ends before the escape.
    std::string text = std::string(76, 'a') + "\xc3\xa4" + std::string(10, 'b');
    EXPECT_EQ(P::QuotedPrintableEncode(text),
              std::string(76, 'a') + "=\r\n=C3=A4" + std::string(10, 'b'));
}

TEST(QuotedPrintable, LongMixedTextDecodesBackAndKeepsLinesShort) {
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
        std::string encoded = P::QuotedPrintableEncode(text);
        ASSERT_EQ(DecodeQuotedPrintable(encoded), text) << "round " << round;
        for (size_t length : LineLengths(encoded))
            ASSERT_LE(length, 79u) << encoded;
    }
}

TEST(QuotedPrintable, EveryEscapePositionDecodesBack) {
    for (size_t k = 0; k < 240; ++k) {
        for (const std::string& tail :
             {std::string("\xc3\xa4"), std::string("=\xe4 "), std::string("\x01")}) {
            std::string text = std::string(k, 'a') + tail + std::string(k % 90, 'b');
            std::string encoded = P::QuotedPrintableEncode(text);
            ASSERT_EQ(DecodeQuotedPrintable(encoded), text) << k;
            for (size_t length : LineLengths(encoded))
                ASSERT_LE(length, 79u) << encoded;
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
}

TEST(EncodedWords, HeaderEncodeWritesUtf8WhateverTheLabel) {
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

TEST(DotStuffing, EachLineStartingWithADotGetsExactlyOneMore) {
    std::string text = ".first\r\n.second\r\n..third\r\nplain\r\n.";
    P::FixSingleDotA(text);
    EXPECT_EQ(text, ".first\r\n..second\r\n...third\r\nplain\r\n..");
    std::u16string wide = u".a\n.b\r\n..c\n";
    P::FixSingleDotT(wide);
    EXPECT_EQ(wide, u".a\n..b\r\n...c\n");
    std::string none = "no dots\r\nhere.\r\n";
    P::FixSingleDotA(none);
    EXPECT_EQ(none, "no dots\r\nhere.\r\n");
    std::string empty;
    std::u16string emptyWide;
    P::FixSingleDotA(empty);
    P::FixSingleDotT(emptyWide);
    P::MakeTransparent(empty);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(emptyWide, u"");
}

TEST(DotStuffing, ABodyBlockStartsALine) {
    std::string body = ".start\r\n.x\r\n";
    P::MakeTransparent(body);
    EXPECT_EQ(body, "..start\r\n..x\r\n");
    std::string dot = ".";
    P::MakeTransparent(dot);
    EXPECT_EQ(dot, "..");
    std::string plain = "a.\r\nb";
    P::MakeTransparent(plain);
    EXPECT_EQ(plain, "a.\r\nb");
}

TEST(HexDigit, UpperCaseDigits) {
    const std::string expected = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(P::HexDigit(i), expected[static_cast<size_t>(i)]);
}

TEST(Encodings, EachRunsInItsTraceScope) {
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
            if (r.action == u"enter")
                ++enter;
            if (r.action == u"exit")
                ++exit;
        }
        EXPECT_EQ(enter, 1) << ToUtf8(name);
        EXPECT_EQ(exit, 1) << ToUtf8(name);
    }
}
