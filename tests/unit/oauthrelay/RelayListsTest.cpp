#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "RelayLists.h"

using namespace oauthrelay;

namespace {

std::vector<std::pair<std::string, std::string>> Pairs(const std::vector<MailAddress>& list) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const MailAddress& a : list) {
        out.emplace_back(a.strName, a.strAddress);
    }
    return out;
}

using PairList = std::vector<std::pair<std::string, std::string>>;

}  // namespace

TEST(RelayListsTest, AddressListsSplitOnSemicolonAndComma) {
    EXPECT_EQ(Pairs(SplitAddressList("a@x.org;b@y.org, c@z.org")),
              (PairList{{"", "a@x.org"}, {"", "b@y.org"}, {"", "c@z.org"}}));
    EXPECT_EQ(Pairs(SplitAddressList(" ; ;, ")), PairList{});
    EXPECT_EQ(Pairs(SplitAddressList("")), PairList{});
    EXPECT_EQ(Pairs(SplitAddressList(";a@x.org;")), (PairList{{"", "a@x.org"}}));
}

TEST(RelayListsTest, DisplayNamesWithSeparatorsInside) {
    EXPECT_EQ(
        Pairs(SplitAddressList(
            "\"Doe, John\" <jd@x.org>; Carla <c@x.org>;\"A \\\"B\\\"; C\" <abc@x.org>")),
        (PairList{{"Doe, John", "jd@x.org"}, {"Carla", "c@x.org"}, {"A \"B\"; C", "abc@x.org"}}));
    // A separator inside angle brackets does not split either.
    EXPECT_EQ(Pairs(SplitAddressList("Odd <a;b@x.org>")), (PairList{{"Odd", "a;b@x.org"}}));
    EXPECT_EQ(Pairs(SplitAddressList("<only@x.org>")), (PairList{{"", "only@x.org"}}));
}

TEST(RelayListsTest, SingleAddresses) {
    const MailAddress bare = ParseAddress("  anne@x.org ");
    EXPECT_EQ(bare.strName, "");
    EXPECT_EQ(bare.strAddress, "anne@x.org");
    const MailAddress named = ParseAddress("\"Sender, Anne\" < anne@x.org >");
    EXPECT_EQ(named.strName, "Sender, Anne");
    EXPECT_EQ(named.strAddress, "anne@x.org");
    EXPECT_EQ(ParseAddress("").strAddress, "");
    // Not closed: kept whole, for the address check to refuse.
    EXPECT_EQ(ParseAddress("Anne <anne@x.org").strAddress, "Anne <anne@x.org");
}

TEST(RelayListsTest, AddressProblems) {
    for (const char* good : {"a@x.org", "first.last+tag@sub.example.co.uk", "x@[127.0.0.1]",
                             "o'neil@x.org", "a_b-c@x-y.org"}) {
        EXPECT_EQ(AddressProblem(good), "") << good;
    }
    for (const char* bad :
         {"", "plain", "@x.org", "a@", "a b@x.org", "a@x .org", "a@x..org", ".a@x.org", "a.@x.org",
          "a..b@x.org", "a@x.org.", "a@-x_y.org", "<a@x.org>", "a@x.org;b@y.org", "a\"b@x.org",
          "a@[1.2.3.4", "j\xC3\xBCrgen@x.org"}) {
        EXPECT_NE(AddressProblem(bad), "") << bad;
    }
    EXPECT_NE(AddressProblem(std::string(65, 'a') + "@x.org"), "");
}

TEST(RelayListsTest, FileLists) {
    EXPECT_EQ(SplitFileList(" /tmp/a b.pdf ;C:\\Docs\\x.txt;; "),
              (std::vector<std::string>{"/tmp/a b.pdf", "C:\\Docs\\x.txt"}));
    EXPECT_TRUE(SplitFileList("").empty());
    EXPECT_EQ(FileNameOfPath("/tmp/dir/report.pdf"), "report.pdf");
    EXPECT_EQ(FileNameOfPath("C:\\Docs\\Bericht \xC3\x84.txt"), "Bericht \xC3\x84.txt");
    EXPECT_EQ(FileNameOfPath("mixed/dir\\name.txt"), "name.txt");
    EXPECT_EQ(FileNameOfPath("bare.txt"), "bare.txt");
}

TEST(RelayListsTest, HeaderListsKeepSemicolonsOfValues) {
    EXPECT_EQ(SplitHeaderList("X-A: 1;X-B: 2; Reply-To: r@x.org"),
              (std::vector<std::string>{"X-A: 1", "X-B: 2", "Reply-To: r@x.org"}));
    EXPECT_EQ(SplitHeaderList("X-Campaign: spring; tracking=1;Reply-To: r@x.org"),
              (std::vector<std::string>{"X-Campaign: spring; tracking=1", "Reply-To: r@x.org"}));
    EXPECT_EQ(SplitHeaderList("List-Unsubscribe: <https://x.org/u?a=1;b=2>;X-Link: a;http://x.org"),
              (std::vector<std::string>{"List-Unsubscribe: <https://x.org/u?a=1;b=2>",
                                        "X-Link: a;http://x.org"}));
    EXPECT_EQ(SplitHeaderList("Disposition-Notification-To: anne@x.org"),
              (std::vector<std::string>{"Disposition-Notification-To: anne@x.org"}));
    EXPECT_TRUE(SplitHeaderList(" ; ").empty());
    EXPECT_EQ(SplitHeaderList(";X-A: 1;; ;X-B: 2;"),
              (std::vector<std::string>{"X-A: 1", "X-B: 2"}));
    // Text that is no header line stays whole, for the composer to refuse.
    EXPECT_EQ(SplitHeaderList("garbage;X-A: 1"), (std::vector<std::string>{"garbage", "X-A: 1"}));
}
