#include <gtest/gtest.h>

#include <string>

#include "mime/TSMTPBodyPart.h"

using P = TSMTPBodyPart;

TEST(QuotedPrintable, EscapesExactlyTheBytesThatCannotStandForThemselves) {
    EXPECT_EQ(P::QuotedPrintableEncode("a=b"), "a=3Db");
    EXPECT_EQ(P::QuotedPrintableEncode("\xe4\x7f\x0c"), "=E4=7F=0C");
    EXPECT_EQ(P::QuotedPrintableEncode("<>~\t end "), "<>~\t end ");
    EXPECT_EQ(P::QuotedPrintableEncode(""), "");
    EXPECT_EQ(P::QuotedPrintableEncode("line\r\nnext"), "line\r\nnext");
}

TEST(QuotedPrintable, CutsALongWordAfterItsSeventySeventhCharacter) {
    std::string letters(100, 'x');
    EXPECT_EQ(P::QuotedPrintableEncode(letters), std::string(77, 'x') + "=\r\n" + std::string(23, 'x'));
}

TEST(QuotedPrintable, BreaksAfterTheLastBlankThatFits) {
    std::string words;
    for (int i = 0; i < 20; ++i) words += std::string(i ? " " : "") + "abcd";
    ASSERT_EQ(words.size(), 99u);
    std::string encoded = P::QuotedPrintableEncode(words);
    size_t soft = encoded.find("=\r\n");
    ASSERT_NE(soft, std::string::npos);
    EXPECT_EQ(soft, 75u) << "fifteen words and the blank after them";
    EXPECT_EQ(encoded.substr(0, 75), words.substr(0, 75));
    EXPECT_EQ(encoded.substr(78), words.substr(75));
    EXPECT_EQ(encoded.size() - 78, 24u);
}

TEST(QuotedPrintable, BreaksRightAfterAnEscape) {
    // 67 letters and one escape end at the 70th character; 20 letters follow.
    std::string text = std::string(67, 'a') + "\xe4" + std::string(20, 'b');
    std::string encoded = P::QuotedPrintableEncode(text);
    EXPECT_EQ(encoded, std::string(67, 'a') + "=E4=\r\n" + std::string(20, 'b'));
}

TEST(EncodedWords, OnlyTextBeyondAsciiIsEncoded) {
    EXPECT_EQ(P::QEncode("What? a=b_c", "utf-8"), "What? a=b_c");
    EXPECT_EQ(P::QEncode("\xc3\xa4 ? = _", "utf-8"), "=?utf-8?q?=C3=A4_=3F_=3D_=5F?=");
    EXPECT_EQ(P::HeaderEncode(u"Caf\u00e9", u"iso-8859-1"), "=?iso-8859-1?q?Caf=C3=A9?=");
    EXPECT_EQ(P::HeaderEncode(u"\u00dcbersicht 2.pdf", u"utf-8"), "=?utf-8?q?=C3=9Cbersicht_2.pdf?=");
    EXPECT_EQ(P::HeaderEncode(u"", u"utf-8"), "");
}

TEST(DotStuffing, EachLineStartingWithADotGetsExactlyOneMore) {
    std::string text = ".first\r\n.second\r\n..third\r\nplain";
    P::FixSingleDotA(text);
    EXPECT_EQ(text, ".first\r\n..second\r\n...third\r\nplain");
    std::u16string wide = u"a\n.b";
    P::FixSingleDotT(wide);
    EXPECT_EQ(wide, u"a\n..b");
    std::string body = ".start\r\n.x";
    P::MakeTransparent(body);
    EXPECT_EQ(body, "..start\r\n..x") << "a body always starts a line";
    std::string empty;
    P::FixSingleDotA(empty);
    EXPECT_EQ(empty, "");
}

TEST(HexDigit, UpperCase) {
    EXPECT_EQ(P::HexDigit(0), '0');
    EXPECT_EQ(P::HexDigit(9), '9');
    EXPECT_EQ(P::HexDigit(10), 'A');
    EXPECT_EQ(P::HexDigit(15), 'F');
}
