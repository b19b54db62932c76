#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "MimeEncoding.h"
#include "TextConvert.h"

using namespace oauthrelay;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find("\r\n", start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return out;
        }
        start = end + 2;
    }
}

// Independent decoders, written the plain way, to check the encoders' output.
std::string DecodeBase64(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t v = alphabet.find(c);
        if (v == std::string::npos) {
            continue;  // line breaks and padding
        }
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string DecodeQuotedPrintable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;
        } else {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

// The decoded text of a header value made of "=?utf-8?B?...?=" words and
// folding; fails the test on anything else.
std::string DecodeWords(const std::string& value) {
    std::string out;
    size_t pos = 0;
    while (pos < value.size()) {
        while (pos < value.size() &&
               (value[pos] == ' ' || value[pos] == '\r' || value[pos] == '\n')) {
            ++pos;
        }
        if (pos >= value.size()) {
            break;
        }
        EXPECT_EQ(value.compare(pos, 10, "=?utf-8?B?"), 0) << value.substr(pos);
        const size_t end = value.find("?=", pos + 10);
        EXPECT_NE(end, std::string::npos);
        const std::string word = DecodeBase64(value.substr(pos + 10, end - pos - 10));
        // Each word holds whole characters.
        EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(word)), word);
        out += word;
        pos = end + 2;
    }
    return out;
}

}  // namespace

TEST(MimeEncodingTest, Base64Vectors) {
    // RFC 4648, section 10.
    for (const auto& [text, encoded] : {std::pair{"", ""},
                                        {"f", "Zg=="},
                                        {"fo", "Zm8="},
                                        {"foo", "Zm9v"},
                                        {"foob", "Zm9vYg=="},
                                        {"fooba", "Zm9vYmE="},
                                        {"foobar", "Zm9vYmFy"}})
        EXPECT_EQ(EncodeBase64(text, 0), encoded);
    EXPECT_EQ(EncodeBase64(std::string("\xFB\xFF\x00", 3), 0), "+/8A");
}

TEST(MimeEncodingTest, Base64LinesOf76) {
    std::string data;
    for (int i = 0; i < 1000; ++i) {
        data += static_cast<char>(i * 7);
    }
    const std::string text = EncodeBase64(data, 76);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), (1336 + 75) / 76);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), 76u);
    }
    EXPECT_EQ(lines.back().size(), 1336u % 76);
    EXPECT_EQ(DecodeBase64(text), data);
    for (size_t n : {0, 1, 2, 3, 56, 57, 58, 114, 1000}) {
        EXPECT_EQ(Base64Length(n, 76), EncodeBase64(data.substr(0, n), 76).size()) << n;
        EXPECT_EQ(Base64Length(n, 0), EncodeBase64(data.substr(0, n), 0).size()) << n;
    }
    std::string appended = "head";
    AppendBase64(appended, "foobar", 76);
    EXPECT_EQ(appended, "headZm9vYmFy");
    // Exactly one full line: no line break after it.
    EXPECT_EQ(EncodeBase64(std::string(57, 'x'), 76).find('\r'), std::string::npos);
}

TEST(MimeEncodingTest, LineEndsBecomeCrLf) {
    EXPECT_EQ(NormalizeLineEnds("a\nb\r\nc\rd\n\n\r\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n\r\n\r\n");
    EXPECT_EQ(NormalizeLineEnds("no break"), "no break");
}

TEST(MimeEncodingTest, QuotedPrintableRules) {
    EXPECT_EQ(EncodeQuotedPrintable("a=b"), "a=3Db");
    EXPECT_EQ(EncodeQuotedPrintable("trail \r\ntab\t\r\nmid dle"), "trail=20\r\ntab=09\r\nmid dle");
    EXPECT_EQ(EncodeQuotedPrintable("end "), "end=20");
    EXPECT_EQ(EncodeQuotedPrintable("\xC3\xA9\x7F\x01"), "=C3=A9=7F=01");
    EXPECT_EQ(EncodeQuotedPrintable("\r\n\r\n"), "\r\n\r\n");
    EXPECT_EQ(EncodeQuotedPrintable(std::string(75, 'x')), std::string(75, 'x'));
    EXPECT_EQ(EncodeQuotedPrintable(std::string(76, 'x')), std::string(75, 'x') + "=\r\nx");
}

TEST(MimeEncodingTest, QuotedPrintableKeepsLinesShortAndRoundTrips) {
    std::mt19937 random(1234);
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 600);
        for (int i = 0; i < length; ++i) {
            const unsigned pick = random() % 10;
            text += pick < 6   ? static_cast<char>('a' + random() % 26)
                    : pick < 7 ? ' '
                    : pick < 8 ? '='
                    : pick < 9 ? static_cast<char>(0x80 + random() % 128)
                               : '\n';
        }
        const std::string crlf = NormalizeLineEnds(text);
        const std::string encoded = EncodeQuotedPrintable(crlf);
        for (const std::string& line : Lines(encoded)) {
            EXPECT_LE(line.size(), 76u);
            EXPECT_TRUE(line.empty() || (line.back() != ' ' && line.back() != '\t')) << line;
            for (char c : line) {
                EXPECT_TRUE(c >= 32 && c < 127) << static_cast<int>(c);
            }
        }
        EXPECT_EQ(DecodeQuotedPrintable(encoded), crlf);
    }
}

TEST(MimeEncodingTest, PlainHeaderTextIsFoldedAtBlanks) {
    EXPECT_EQ(EncodeHeaderText("Monthly report", 9), "Monthly report");
    std::string words;
    for (int i = 0; i < 40; ++i) {
        words += (i ? " " : "") + std::string("word") + std::to_string(i);
    }
    const std::string folded = EncodeHeaderText(words, 9);
    const std::vector<std::string> lines = Lines(folded);
    EXPECT_GT(lines.size(), 1u);
    EXPECT_LE(lines[0].size() + 9, 78u);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i][0], ' ');
        EXPECT_LE(lines[i].size(), 78u);
    }
    // Unfolding gives the text back.
    std::string unfolded = folded;
    for (size_t p; (p = unfolded.find("\r\n")) != std::string::npos;) {
        unfolded.erase(p, 2);
    }
    EXPECT_EQ(unfolded, words);
    // Line breaks in the text cannot break the header.
    EXPECT_EQ(EncodeHeaderText("two\r\nlines", 9), "two  lines");
}

TEST(MimeEncodingTest, OtherHeaderTextBecomesEncodedWords) {
    const std::string text =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus K\xC3\xB6ln \xE2\x80\x93 \xF0\x9F\x98\x80 " +
        std::string(150, 'a');
    const std::string value = EncodeHeaderText(text, 9);
    const std::vector<std::string> lines = Lines(value);
    EXPECT_GT(lines.size(), 2u);
    EXPECT_LE(lines[0].size() + 9, 76u);
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 76u);
    }
    EXPECT_EQ(DecodeWords(value), text);
    // Looks like an encoded word, or holds a control character: encoded too.
    EXPECT_EQ(DecodeWords(EncodeHeaderText("=?utf-8?Q?x?=", 9)), "=?utf-8?Q?x?=");
    EXPECT_EQ(DecodeWords(EncodeHeaderText("bell\x07", 9)), "bell\x07");
    // A word too long for any line.
    const std::string longWord(1200, 'z');
    EXPECT_EQ(DecodeWords(EncodeHeaderText(longWord, 9)), longWord);
}

TEST(MimeEncodingTest, DisplayNames) {
    EXPECT_EQ(EncodeDisplayName("Anne Sender", 6), "Anne Sender");
    EXPECT_EQ(EncodeDisplayName("Doe, John", 6), "\"Doe, John\"");
    EXPECT_EQ(EncodeDisplayName("Say \"hi\" \\o/", 6), "\"Say \\\"hi\\\" \\\\o/\"");
    EXPECT_EQ(EncodeDisplayName("=?x?=", 6), "\"=?x?=\"");
    const std::string name = "\xC3\x84nne \xE2\x80\x93 Vertrieb";
    const std::string encoded = EncodeDisplayName(name, 6);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(DecodeWords(encoded), name);
    // Too long for one word: the atoms stay plain between the encoded words.
    EXPECT_EQ(EncodeDisplayName("\xC3\x86r\xC3\xB8sk\xC3\xB8"
                                "bing Kommune \xE2\x80\x93 Afdeling for Teknik og Milj\xC3\xB8, "
                                "Havnevej 12",
                                6),
              "=?utf-8?B?w4Zyw7hza8O4YmluZw==?= Kommune =?utf-8?B?4oCT?= Afdeling for\r\n"
              " Teknik og =?utf-8?B?TWlsasO4LA==?= Havnevej 12");
}

TEST(MimeEncodingTest, LongDisplayNamesAreFolded) {
    std::string words;  // ASCII that needs quoting, 1,200 characters with blanks
    while (words.size() < 1200) {
        words += "Doe, John ";
    }
    words.pop_back();
    const std::string accented =
        "J\xC3\xBCrgen M\xC3\xBCller-L\xC3\xBC"
        "denscheid \xF0\x9F\x98\x80 ";
    const struct {
        const char* what;
        std::string name;
        size_t column;
        bool encoded;
    } cases[] = {
        {"non-ASCII", accented + accented + accented + accented, 6, true},
        {"non-ASCII after a long line", accented, 70, true},
        {"ASCII beyond the line limit", words, 4, false},
        {"ASCII without blanks beyond it", std::string(1200, 'x'), 4, true},
    };
    for (const auto& c : cases) {
        const std::string value = EncodeDisplayName(c.name, c.column);
        const std::vector<std::string> lines = Lines(value);
        EXPECT_GT(lines.size(), 1u) << c.what;
        EXPECT_LE(c.column + lines[0].size(), c.encoded ? 76u : 78u) << c.what;
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i][0], ' ') << c.what;
            EXPECT_LE(lines[i].size(), c.encoded ? 76u : 78u) << c.what;
        }
        if (c.encoded) {
            EXPECT_EQ(DecodeWords(value), c.name) << c.what;
        } else {
            std::string unfolded = value;
            for (size_t p; (p = unfolded.find("\r\n")) != std::string::npos;) {
                unfolded.erase(p, 2);
            }
            EXPECT_EQ(unfolded, "\"" + c.name + "\"") << c.what;
        }
    }
}

TEST(MimeEncodingTest, Parameters) {
    EXPECT_EQ(EncodeParameter("filename", "report 1.pdf"), "filename=\"report 1.pdf\"");
    EXPECT_EQ(EncodeParameter("filename", "a\"b\\c"), "filename=\"a\\\"b\\\\c\"");
    EXPECT_EQ(EncodeParameter("filename", "Bericht \xC3\x84.txt"),
              "filename*=utf-8''Bericht%20%C3%84.txt");
    EXPECT_EQ(DecodeWords(EncodedWords("Bericht \xC3\x84.txt")), "Bericht \xC3\x84.txt");
}

TEST(MimeEncodingTest, DotStuffingAcrossChunks) {
    std::string out;
    DotStuffer whole;
    whole.Append(out, ".first\r\n..two\r\nmid.dle\r\n.\r\nbare\n.lf\r.cr\r\n.");
    EXPECT_EQ(out, "..first\r\n...two\r\nmid.dle\r\n..\r\nbare\n.lf\r.cr\r\n..");

    // The same text cut at every position gives the same bytes.
    const std::string text = "a\r\n.b\r\n\r\n.\r\n.c";
    std::string expected;
    DotStuffer reference;
    reference.Append(expected, text);
    for (size_t cut1 = 0; cut1 <= text.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= text.size(); ++cut2) {
            std::string chunked;
            DotStuffer stuffer;
            stuffer.Append(chunked, text.substr(0, cut1));
            stuffer.Append(chunked, text.substr(cut1, cut2 - cut1));
            stuffer.Append(chunked, text.substr(cut2));
            EXPECT_EQ(chunked, expected) << cut1 << " " << cut2;
        }
    }
    EXPECT_EQ(expected, "a\r\n..b\r\n\r\n..\r\n..c");
}
