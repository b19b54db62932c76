#include <gtest/gtest.h>

#include <string>

#include "TextConvert.h"

using namespace oauthrelay;

TEST(TextConvertTest, Utf16AndUtf8RoundTrip) {
    const std::u16string text = u"A\u007f\u0080\u00e9\u20ac\U0001F600z";
    const std::string utf8 = Utf16ToUtf8(text);
    EXPECT_EQ(utf8, "A\x7F\xC2\x80\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(Utf8ToUtf16(utf8), text);
}

TEST(TextConvertTest, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8ToUtf16("a\xFFz"), u"a\uFFFDz");
    EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");                      // cut short
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(ArgumentText(nullptr), u"");
}

// Characters the charset lacks, or an unknown charset: UTF-8, labelled so.
TEST(TextConvertTest, CharsetsAndTheirFallback) {
    struct Case {
        std::u16string text;
        const char* charset;
        std::string bytes;
        const char* used;
    };
    for (const Case& c :
         {Case{u"Gr\u00fc\u00dfe", "ISO-8859-1",
               "Gr\xFC\xDF"
               "e",
               "iso-8859-1"},
          Case{u"5 \u20ac \u201cq\u201d", "windows-1252", "5 \x80 \x93q\x94", "windows-1252"},
          Case{u"plain", "us-ascii", "plain", "us-ascii"},
          Case{u"5 \u20ac", "latin1", "5 \xE2\x82\xAC", "utf-8"},
          Case{u"\u00e9", "us-ascii", "\xC3\xA9", "utf-8"},
          Case{u"\u00e9", "x-unknown", "\xC3\xA9", "utf-8"},
          Case{u"\u00e9", "", "\xC3\xA9", "utf-8"}}) {
        std::string used;
        EXPECT_EQ(EncodeCharset(c.text, c.charset, used), c.bytes) << c.charset;
        EXPECT_EQ(used, c.used) << c.charset;
    }
}
