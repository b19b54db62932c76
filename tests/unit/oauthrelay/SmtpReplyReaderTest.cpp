#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RelayError.h"
#include "SmtpReplyReader.h"

using namespace oauthrelay;

namespace {

std::vector<SmtpReply> All(SmtpReplyReader& reader) {
    std::vector<SmtpReply> out;
    SmtpReply reply;
    while (reader.Next(reply)) {
        out.push_back(reply);
    }
    return out;
}

}  // namespace

TEST(SmtpReplyReaderTest, SingleAndMultiLineReplies) {
    SmtpReplyReader reader;
    reader.Feed("250 2.1.0 Sender OK\r\n550-5.1.1 first\r\n550-5.1.1 second\r\n550 5.1.1 last\r\n");
    const std::vector<SmtpReply> replies = All(reader);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].nCode, 250);
    EXPECT_TRUE(replies[0].IsPositive());
    EXPECT_EQ(replies[0].Text(), "250 2.1.0 Sender OK");
    EXPECT_EQ(replies[1].nCode, 550);
    EXPECT_FALSE(replies[1].IsPositive());
    EXPECT_EQ(replies[1].Lines.size(), 3u);
    EXPECT_EQ(replies[1].Text(), "550-5.1.1 first 550-5.1.1 second 550 5.1.1 last");
}

TEST(SmtpReplyReaderTest, RepliesCutAtEveryPosition) {
    const std::string wire = "354 Go ahead\r\n250-a\r\n250 b\n221\r\n";
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        SmtpReplyReader reader;
        SmtpReply reply;
        reader.Feed(wire.substr(0, cut));
        std::vector<SmtpReply> replies = All(reader);
        reader.Feed(wire.substr(cut));
        for (SmtpReply& r : All(reader)) {
            replies.push_back(r);
        }
        ASSERT_EQ(replies.size(), 3u) << cut;
        EXPECT_EQ(replies[0].nCode, 354);
        EXPECT_EQ(replies[1].Text(), "250-a 250 b");
        EXPECT_EQ(replies[2].nCode, 221);
        EXPECT_EQ(replies[2].Text(), "221");
    }
}

TEST(SmtpReplyReaderTest, IncompleteReplyIsNotHandedOut) {
    SmtpReplyReader reader;
    SmtpReply reply;
    reader.Feed("250-first line\r\n250 sec");
    EXPECT_FALSE(reader.Next(reply));
    reader.Feed("ond\r\n");
    ASSERT_TRUE(reader.Next(reply));
    EXPECT_EQ(reply.Text(), "250-first line 250 second");
}

TEST(SmtpReplyReaderTest, ForeignLinesAndFloodsAreErrors) {
    for (const char* wire : {"HTTP/1.1 400 Bad Request\r\n", "25 short\r\n", "250x\r\n",
                             "650 no such class\r\n", "\r\n"}) {
        SmtpReplyReader reader;
        EXPECT_THROW(reader.Feed(wire), RelayError) << wire;
    }
    SmtpReplyReader endless;
    EXPECT_THROW(endless.Feed(std::string(70000, 'x')), RelayError);
    SmtpReplyReader manyLines;
    std::string lines;
    for (int i = 0; i < 10000; ++i) {
        lines += "250-capability line\r\n";
    }
    EXPECT_THROW(manyLines.Feed(lines), RelayError);
}
