#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "MessageComposer.h"
#include "MimeEncoding.h"
#include "ProxyList.h"
#include "RelayError.h"
#include "RelayLists.h"
#include "RelayPlatform.h"
#include "SmtpReplyReader.h"
#include "SmtpSubmission.h"
#include "TextConvert.h"
#include "TokenCache.h"
#include "TokenClient.h"
#include "vxutil.h"

using namespace oauthrelay;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 2)
        out.push_back(text.substr(start, (end = text.find("\r\n", start)) - start));
    return out;
}

// "=?utf-8?B?...?=" words decoded: each holds whole characters, nothing stands
// between them, every line keeps the limit (the first after the column).
std::string DecodeWords(const std::string& value, size_t column) {
    for (const std::string& line : Lines(value))
        EXPECT_LE(line.size() + std::exchange(column, 0), 76u) << value;
    std::string out;
    for (size_t pos = value.find_first_not_of(" \t\r\n"); pos != std::string::npos;
         pos = value.find_first_not_of(" \t\r\n", pos)) {
        EXPECT_EQ(value.compare(pos, 10, "=?utf-8?B?"), 0) << value.substr(pos);
        const size_t end = value.find("?=", pos + 10);
        const std::u16string text(value.begin() + pos + 10, value.begin() + end);
        std::string word(text.size(), '\0');
        word.resize(std::max(0, DecodeBase64(reinterpret_cast<unsigned char*>(word.data()),
                                             text.c_str(), static_cast<int>(text.size()))));
        EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(word)), word);
        out += word;
        pos = end + 2;
    }
    return out;
}

std::string Unfolded(const std::string& text) {
    return std::regex_replace(text, std::regex("\r\n"), "");
}

const MessageStamp kStamp{"Tue, 06 Dec 2022 19:42:07 +0100", "<id.1@example.com>", "=_B"};

RelayMessage SimpleMessage() {
    RelayMessage m;
    m.From = {"Anne", "anne@example.com"};
    m.To = {{"", "bob@example.org"}, {"Carla", "carla@example.org"}};
    m.strSubject = "Status";
    m.sBody = u"Hello\n.hidden dot\nbye";
    m.nPriority = 2;
    m.strCharset = "utf-8";
    return m;
}

}  // namespace

// A dot that starts a line is the submission's to stuff.
TEST(MessageComposerTest, SingleAndMultipartBytes) {
    EXPECT_EQ(
        ComposeMessage(SimpleMessage(), kStamp),
        "Date: Tue, 06 Dec 2022 19:42:07 +0100\r\nMessage-ID: <id.1@example.com>\r\n"
        "From: Anne <anne@example.com>\r\nTo: bob@example.org, Carla <carla@example.org>\r\n"
        "Subject: Status\r\nX-Priority: 3 (Normal)\r\nImportance: Normal\r\n"
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\nHello\r\n.hidden dot\r\nbye=\r\n");
    RelayMessage m = SimpleMessage();
    m.To = {{"", "bob@example.org"}};
    m.Cc = {{"", "cc@example.org"}};
    m.strSubject.clear();
    m.sBody = u"<p>Hi</p>\n";
    m.bHtml = true;
    m.nPriority = 0;
    m.Attachments.push_back({"a.bin", "application/octet-stream", std::string("\x00\x01\xFF", 3)});
    EXPECT_EQ(
        ComposeMessage(m, kStamp),
        "Date: Tue, 06 Dec 2022 19:42:07 +0100\r\nMessage-ID: <id.1@example.com>\r\n"
        "From: Anne <anne@example.com>\r\nTo: bob@example.org\r\nCc: cc@example.org\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"=_B\"\r\n\r\n"
        "This is a multi-part message in MIME format.\r\n\r\n--=_B\r\n"
        "Content-Type: text/html; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>Hi</p>\r\n\r\n--=_B\r\n"
        "Content-Type: application/octet-stream;\r\n\tname=\"a.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment;\r\n\tfilename=\"a.bin\"\r\n\r\nAAH/\r\n--=_B--\r\n");
    // Without To, Cc alone needs no To line; Bcc alone gets the hidden group.
    m.To.clear();
    EXPECT_EQ(ComposeMessage(m, kStamp).find("\r\nTo:"), std::string::npos);
    m.Cc.clear();
    EXPECT_NE(ComposeMessage(m, kStamp).find("\r\nTo: undisclosed-recipients:;\r\nMIME"),
              std::string::npos);
    for (const auto& [priority, lines] :
         {std::pair<int, std::string>{1, "X-Priority: 5 (Lowest)\r\nImportance: Low\r\n"},
          {3, "X-Priority: 1 (Highest)\r\nImportance: High\r\n"},
          {0, ""},
          {4, ""},
          {-1, ""}}) {
        m.nPriority = priority;
        const std::string text = ComposeMessage(m, kStamp);
        EXPECT_EQ(text.find(lines.empty() ? "X-Priority" : lines) != std::string::npos,
                  !lines.empty())
            << priority;
    }
    m.strCharset = "iso-8859-1";
    m.sBody = u"Gr\u00fc\u00dfe";
    EXPECT_NE(ComposeMessage(m, kStamp).find("charset=iso-8859-1\r\nContent-Transfer-Encoding: "
                                             "quoted-printable\r\n\r\nGr=FC=DFe"),
              std::string::npos);
}

TEST(MessageComposerTest, CustomHeadersReplaceOrJoinOursAndBadOnesAreRefused) {
    RelayMessage m = SimpleMessage();
    m.nPriority = 3;
    m.CustomHeaders = {"X-Priority: 2", "Date: Mon, 01 Jan 2024 00:00:00 +0000",
                       "X-Note:   caf\xC3\xA9  ", "message-id: <own.1@example.org>"};
    const std::string text = ComposeMessage(m, kStamp);
    for (const char* gone :
         {"Tue, 06 Dec 2022", "id.1@example.com", "X-Priority: 1", "Importance:"})
        EXPECT_EQ(text.find(gone), std::string::npos) << gone;
    for (const char* line :
         {"\r\nmessage-id: <own.1@example.org>\r\n", "\r\nX-Priority: 2\r\n",
          "\r\nDate: Mon, 01 Jan 2024 00:00:00 +0000\r\n", "\r\nX-Note: =?utf-8?B?Y2Fmw6k=?=\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_LT(text.find("X-Note"), text.find("MIME-Version")) << "custom lines before MIME";
    for (const char* line : {"NoColon", ": no name", "Bad Name: x", "X-A: one\r\nBcc: x@y.org",
                             "Subject: second subject", "bcc: hidden@x.org",
                             "Content-Type: text/plain", "MIME-Version: 2.0"}) {
        m.CustomHeaders = {line};
        EXPECT_THROW(ComposeMessage(m, kStamp), RelayError) << line;
    }
}

TEST(MessageComposerTest, NamesDatesTypesAndStamps) {
    RelayMessage m = SimpleMessage();
    m.Attachments = {{"Bericht \xC3\x84.txt", "text/plain",
                      "Gr\xC3\xBC\xC3\x9F"
                      "e\r\n"},
                     {"legacy.txt", "text/plain",
                      "Gr\xFC\xDF"
                      "e\r\n"}};
    const std::string text = ComposeMessage(m, kStamp);
    EXPECT_NE(text.find("Content-Type: text/plain; charset=utf-8;\r\n"
                        "\tname=\"=?utf-8?B?QmVyaWNodCDDhC50eHQ=?=\"\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("filename*=utf-8''Bericht%20%C3%84.txt\r\n"), std::string::npos);
    // Bytes that are not UTF-8 are not claimed to be.
    EXPECT_NE(text.find("Content-Type: text/plain;\r\n\tname=\"legacy.txt\""), std::string::npos);

    // A name that does not fit after the one before starts a line.
    const std::string name =
        "\xC3\x86r\xC3\xB8sk\xC3\xB8"
        "bing Kommune \xE2\x80\x93 Milj\xC3\xB8";
    m.From = {name + " " + name, "anne@example.com"};
    m.To = {{std::string(50, 'a'), "a@example.org"},
            {name, "b@example.org"},
            {std::string(1200, 'x'), "c@example.org"}};
    m.Attachments.clear();
    std::string header = ComposeMessage(m, kStamp);
    header.resize(header.find("\r\n\r\n"));
    for (const std::string& line : Lines(header))
        EXPECT_LE(line.size(), 76u) << line;
    EXPECT_NE(header.find("a@example.org>,\r\n =?utf-8?B?"), std::string::npos) << header;

    std::tm t{};
    t.tm_year = 122, t.tm_mon = 11, t.tm_mday = 6, t.tm_wday = 2, t.tm_hour = 9, t.tm_min = 5,
    t.tm_sec = 7;
    EXPECT_EQ(FormatMailDate(t, 3600), "Tue, 06 Dec 2022 09:05:07 +0100");
    EXPECT_EQ(FormatMailDate(t, -(3 * 3600 + 30 * 60)), "Tue, 06 Dec 2022 09:05:07 -0330");

    // The sender's domain, or the host name when it has none a Message-ID can carry.
    EXPECT_NE(NewMessageStamp("a@example.com").strBoundary,
              NewMessageStamp("a@example.com").strBoundary);
    const std::regex uuid("<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}@(.*)>");
    for (const auto& [sender, domain] :
         std::vector<std::pair<std::string, std::string>>{{"anne@example.com", "example.com"},
                                                          {"anne@[192.0.2.1]", "[192.0.2.1]"},
                                                          {"postmaster", LocalHostName()},
                                                          {"anne@bad domain", LocalHostName()},
                                                          {"", LocalHostName()}}) {
        const std::string id = NewMessageStamp(sender).strMessageId;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(id, match, uuid)) << id;
        EXPECT_EQ(match[1], domain);
    }
}

TEST(MimeEncodingTest, Base64LinesAndQuotedPrintable) {
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>(i * 7);
    const auto lines = Lines(EncodeBase64(data, 76));
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0].size(), 76u);
    EXPECT_EQ(lines.back().size(), 1336u % 76);
    for (size_t n : {0, 1, 2, 3, 56, 57, 58, 114, 1000}) {
        EXPECT_EQ(Base64Length(n, 76), EncodeBase64(data.substr(0, n), 76).size()) << n;
        EXPECT_EQ(Base64Length(n, 0), EncodeBase64(data.substr(0, n), 0).size()) << n;
    }
    std::string appended = "head";
    AppendBase64(appended, "foobar", 76);
    EXPECT_EQ(appended, "headZm9vYmFy");
    EXPECT_EQ(NormalizeLineEnds("a\nb\r\nc\rd\n\n\r\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n\r\n\r\n");

    // Soft breaks follow a blank where one fits and never split an escape.
    const std::string x74(74, 'x');
    std::string words;
    for (int i = 0; i < 20; ++i)
        words += i ? " abcd" : "abcd";
    for (const auto& [text, encoded] :
         {std::pair<std::string, std::string>{"a=b", "a=3Db"},
          {"trail \r\ntab\t\r\nmid dle", "trail=20\r\ntab=09\r\nmid dle"},
          {"end ", "end=20"},
          {"\xC3\xA9\x7F\x01", "=C3=A9=7F=01"},
          {x74 + "x", x74 + "x"},
          {x74 + "xx", x74 + "xx"},
          {x74 + "xxx", x74 + "x=\r\nxx"},
          {x74 + "=", x74 + "=\r\n=3D"},
          {x74 + " \r\n", x74 + "=\r\n=20\r\n"},
          {words, words.substr(0, 75) + "=\r\n" + words.substr(75)},
          {x74 + "\xC3\xA9", x74 + "=\r\n=C3=A9"}})
        EXPECT_EQ(EncodeQuotedPrintable(text), encoded);
}

TEST(MimeEncodingTest, HeaderTextsNamesAndParameters) {
    EXPECT_EQ(EncodeHeaderText("Monthly report", 9), "Monthly report");
    EXPECT_EQ(EncodeHeaderText("two\r\nlines", 9), "two  lines") << "no line break gets through";
    std::string words;
    for (int i = 0; i < 40; ++i)
        words += (i ? " word" : "word") + std::to_string(i);
    const std::string folded = EncodeHeaderText(words, 9);
    EXPECT_GT(Lines(folded).size(), 1u);
    for (const std::string& line : Lines("Subject: " + folded))
        EXPECT_LE(line.size(), 78u) << line;
    EXPECT_EQ(Unfolded(folded), words);
    const std::string accented =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus K\xC3\xB6ln \xE2\x80\x93 \xF0\x9F\x98\x80 ";
    for (const std::string& text : {accented + std::string(150, 'a'), std::string("=?utf-8?Q?x?="),
                                    std::string("bell\x07"), std::string(1200, 'z')})
        EXPECT_EQ(DecodeWords(EncodeHeaderText(text, 9), 9), text);

    for (const auto& [name, encoded] :
         {std::pair<std::string, std::string>{"Anne Sender", "Anne Sender"},
          {"Doe, John", "\"Doe, John\""},
          {"Say \"hi\" \\o/", "\"Say \\\"hi\\\" \\\\o/\""},
          {"=?x?=", "\"=?x?=\""},
          // Too long for one word: the atoms stay plain between the encoded words.
          {"\xC3\x86r\xC3\xB8sk\xC3\xB8"
           "bing Kommune \xE2\x80\x93 "
           "Afdeling for Teknik og Milj\xC3\xB8, Havnevej 12",
           "=?utf-8?B?w4Zyw7hza8O4YmluZw==?= Kommune =?utf-8?B?4oCT?= Afdeling for\r\n"
           " Teknik og =?utf-8?B?TWlsasO4LA==?= Havnevej 12"}})
        EXPECT_EQ(EncodeDisplayName(name, 6), encoded);
    std::string quoted;  // ASCII that needs quoting, with blanks, past the line limit
    while (quoted.size() < 1200)
        quoted += "Doe, John ";
    quoted.pop_back();
    const std::string value = EncodeDisplayName(quoted, 4);
    for (const std::string& line : Lines(std::string(4, ' ') + value))
        EXPECT_LE(line.size(), 78u);
    EXPECT_EQ(Unfolded(value), "\"" + quoted + "\"");
    for (const auto& [name, column] : {std::pair{accented + accented + accented + accented, 6},
                                       {accented, 70},
                                       {std::string(1200, 'x'), 4}}) {
        const std::string encoded = EncodeDisplayName(name, column);
        EXPECT_GT(Lines(encoded).size(), 1u);
        EXPECT_EQ(DecodeWords(encoded, column), name);
    }

    EXPECT_EQ(EncodeParameter("filename", "report 1.pdf"), "filename=\"report 1.pdf\"");
    EXPECT_EQ(EncodeParameter("filename", "a\"b\\c"), "filename=\"a\\\"b\\\\c\"");
    EXPECT_EQ(EncodeParameter("filename", "Bericht \xC3\x84.txt"),
              "filename*=utf-8''Bericht%20%C3%84.txt");
    // Too long for a line: numbered sections of whole characters, words in name.
    EXPECT_EQ(EncodeParameter("filename", std::string(80, 'a') + ".txt"),
              "filename*0*=utf-8''" + std::string(57, 'a') +
                  ";\r\n\tfilename*1*=" + std::string(23, 'a') + ".txt");
    EXPECT_EQ(EncodeParameter("filename", std::string(56, 'a') + "\xC3\x84"),
              "filename*0*=utf-8''" + std::string(56, 'a') + ";\r\n\tfilename*1*=%C3%84");
    EXPECT_EQ(NameParameter("report 1.pdf"), "name=\"report 1.pdf\"");
    const std::string longName = accented + accented + accented;
    const std::string name = NameParameter(longName);
    EXPECT_EQ(name.compare(0, 6, "name=\""), 0);
    EXPECT_EQ(DecodeWords(name.substr(6, name.size() - 7), 7), longName);
}

// A line starts after CRLF only, wherever the text is cut.
TEST(MimeEncodingTest, DotStuffingAcrossChunks) {
    const std::string text = ".a\r\n..b\r\n\r\n.\r\nbare\n.lf\r.cr\r\n.";
    for (size_t cut1 = 0; cut1 <= text.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= text.size(); ++cut2) {
            std::string chunked;
            DotStuffer stuffer;
            for (const std::string& piece :
                 {text.substr(0, cut1), text.substr(cut1, cut2 - cut1), text.substr(cut2)})
                stuffer.Append(chunked, piece);
            EXPECT_EQ(chunked, "..a\r\n...b\r\n\r\n..\r\nbare\n.lf\r.cr\r\n..")
                << cut1 << " " << cut2;
        }
    }
}

TEST(RelayListsTest, AddressesFilesAndHeaderLines) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    for (const auto& [text, expected] : std::vector<std::pair<std::string, Pairs>>{
             {"a@x.org;b@y.org, c@z.org", {{"", "a@x.org"}, {"", "b@y.org"}, {"", "c@z.org"}}},
             {" ; ;, ", {}},
             {";a@x.org;", {{"", "a@x.org"}}},
             {"\"Doe, John\" <jd@x.org>; Carla <c@x.org>;\"A \\\"B\\\"; C\" <abc@x.org>",
              {{"Doe, John", "jd@x.org"}, {"Carla", "c@x.org"}, {"A \"B\"; C", "abc@x.org"}}},
             {"Odd <a;b@x.org>", {{"Odd", "a;b@x.org"}}},
             {"\"Sender, Anne\" < anne@x.org >", {{"Sender, Anne", "anne@x.org"}}},
             {"Anne <anne@x.org", {{"", "Anne <anne@x.org"}}}}) {  // left for the check
        Pairs got;
        for (const MailAddress& a : SplitAddressList(text))
            got.emplace_back(a.strName, a.strAddress);
        EXPECT_EQ(got, expected) << text;
    }
    for (const char* good : {"a@x.org", "first.last+tag@sub.example.co.uk", "x@[127.0.0.1]",
                             "o'neil@x.org", "a_b-c@x-y.org", "j\xC3\xBCrgen@x.org"})
        EXPECT_EQ(AddressProblem(good), "") << good;
    for (const std::string& bad : std::vector<std::string>{
             "", "plain", "@x.org", "a@", "a b@x.org", "a@x .org", "a@x..org", ".a@x.org",
             "a.@x.org", "a..b@x.org", "a@x.org.", "a@-x_y.org", "<a@x.org>", "a@x.org;b@y.org",
             "a\"b@x.org", "a@[1.2.3.4", "a@b\xC3\xBC.org", std::string(65, 'a') + "@x.org"})
        EXPECT_NE(AddressProblem(bad), "") << bad;
    EXPECT_EQ(SplitFileList(" /tmp/a b.pdf ;C:\\Docs\\x.txt;; "),
              (std::vector<std::string>{"/tmp/a b.pdf", "C:\\Docs\\x.txt"}));
    for (const auto& [path, name] : {std::pair{"/tmp/dir/report.pdf", "report.pdf"},
                                     {"C:\\Docs\\B \xC3\x84.txt", "B \xC3\x84.txt"},
                                     {"mixed/dir\\name.txt", "name.txt"},
                                     {"bare.txt", "bare.txt"}})
        EXPECT_EQ(FileNameOfPath(path), name);
    // Semicolons inside values stay; text that is no header line stays whole.
    using Texts = std::vector<std::string>;
    for (const auto& [list, lines] : std::vector<std::pair<std::string, Texts>>{
             {"X-Campaign: spring; tracking=1;Reply-To: r@x.org",
              {"X-Campaign: spring; tracking=1", "Reply-To: r@x.org"}},
             {"List-Unsubscribe: <https://x.org/u?a=1;b=2>;X-Link: a;http://x.org",
              {"List-Unsubscribe: <https://x.org/u?a=1;b=2>", "X-Link: a;http://x.org"}},
             {";X-A: 1;; ;X-B: 2;", {"X-A: 1", "X-B: 2"}},
             {"garbage;X-A: 1", {"garbage", "X-A: 1"}}})
        EXPECT_EQ(SplitHeaderList(list), lines) << list;
}

TEST(ProxyListTest, TheHttpsProxyAndTheHostsThatBypassIt) {
    for (const auto& [list, proxy] : std::vector<std::pair<std::string, std::string>>{
             {"proxy.corp:8080", "http://proxy.corp:8080"},
             {"http=p1:80;https=p2:443 ftp=p3:21", "http://p2:443"},
             {"HTTP=p1:80; p4:3128", "http://p4:3128"},
             {"https=https://p5:8443", "https://p5:8443"},
             {"http=p1:80", ""},
             {"", ""}})
        EXPECT_EQ(ProxyForScheme(list, "https"), proxy) << list;
    const std::string bypass = "<local>; *.Example.org;10.*";
    for (const auto& [url, bBypassed] :
         std::vector<std::pair<std::string, bool>>{{"https://login/t", true},
                                                   {"https://LOGIN.example.ORG:443/t", true},
                                                   {"https://10.1.2.3/t", true},
                                                   {"https://login.microsoftonline.com/t", false},
                                                   {"https://[::1]:8443/t", false},
                                                   {"https://user@example.org/t", false}})
        EXPECT_EQ(BypassesProxy(bypass, HostOfUrl(url)), bBypassed) << url;
}

TEST(TokenClientTest, AnswersRequestsAndTheCache) {
    const TokenResponse r = InterpretTokenResponse(
        200, R"({"token_type":"Bearer","expires_in":"3599","access_token":"abc.def"})", "u");
    EXPECT_EQ(r.strAccessToken, "abc.def");
    EXPECT_EQ(r.nExpiresIn, 3599);
    // A number too; nested members are not the answer's, a fraction is no lifetime.
    for (const auto& [body, seconds] : std::vector<std::pair<std::string, long long>>{
             {R"({"inner":{"access_token":"x"},"access_token":"t","expires_in":60})", 60},
             {R"({"access_token":"t","expires_in":1.5})", 0},
             {R"({"access_token":"t","expires_in":"12x"})", 0}})
        EXPECT_EQ(InterpretTokenResponse(200, body, "u").nExpiresIn, seconds) << body;
    // An error wins even with status 200, and a token without status 200 is no token.
    for (
        const auto& [status, body, part] : std::vector<std::tuple<long, std::string, std::string>>{
            {401,
             R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid secret.\r\nTrace ID: 1"})",
             "The token endpoint https://login.example/t/oauth2/v2.0/token refused the request "
             "(HTTP 401, invalid_client): AADSTS7000215: Invalid secret. Trace ID: 1"},
            {400, R"({"error":"invalid_scope"})", "(HTTP 400, invalid_scope)."},
            {200, R"({"error":"x","error_description":"y"})", ": y"},
            {500, R"({"access_token":"t"})", "HTTP 500 without an OAuth2 error"},
            {200, R"({"access_token":""})", "without an access token"},
            {502, "<html>\n<body>Bad   Gateway</body></html>",
             "HTTP 502 with no OAuth2 answer: <html> <body>Bad Gateway</body>"},
            {502, std::string(5000, 'x'), std::string(200, 'x') + "..."}}) {
        try {
            InterpretTokenResponse(status, body, "https://login.example/t/oauth2/v2.0/token");
            ADD_FAILURE() << "no error for " << body;
        } catch (const RelayError& e) {
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
            EXPECT_LT(std::string(e.what()).size(), 400u);
        }
    }

    TokenRequest request;
    request.strTenant = "a b/c";
    request.strClientId = "client";
    request.strClientSecret = "a+b&c=d e~f%";
    const TokenRequest completed = CompleteTokenRequest(request);
    EXPECT_EQ(TokenEndpointUrl(completed),
              "https://login.microsoftonline.com/a%20b%2Fc/oauth2/v2.0/token");
    EXPECT_EQ(TokenRequestBody(completed),
              "grant_type=client_credentials&client_id=client&client_secret=a%2Bb%26c%3Dd%20e~f%25"
              "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
    request.strAuthority = " HTTPS://127.0.0.1:8443// ";
    EXPECT_EQ(TokenEndpointUrl(CompleteTokenRequest(request)),
              "HTTPS://127.0.0.1:8443/a%20b%2Fc/oauth2/v2.0/token");
    for (const auto& [field, value, text] :
         std::vector<std::tuple<std::string TokenRequest::*, std::string, std::string>>{
             {&TokenRequest::strClientId, " ", "No OAuth2 client id was given."},
             {&TokenRequest::strClientSecret, "", "No OAuth2 client secret was given."},
             {&TokenRequest::strTenant, " ", "No OAuth2 tenant id was given."},
             {&TokenRequest::strAuthority, "http://login.example", "is not an https:// address"},
             {&TokenRequest::strAuthority, "login.example", "is not an https:// address"},
             {&TokenRequest::strAuthority, "https://", "is not an https:// address"}}) {
        TokenRequest bad = request;
        bad.*field = value;
        try {
            CompleteTokenRequest(bad);
            ADD_FAILURE() << value;
        } catch (const RelayError& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }

    for (const auto& [given, usable] :
         {std::pair{3599, 3299}, {601, 301}, {600, 300}, {60, 30}, {1, 0}, {0, 0}, {-5, 0}})
        EXPECT_EQ(TokenCache::UsableLifetime(given), std::chrono::seconds(usable)) << given;
    TokenCache cache;
    const auto t0 = TokenCache::Clock::time_point() + std::chrono::hours(1);
    const TokenKey key{"https://a", "t", "c", "s", "secret"};
    TokenKey otherSecret = key;
    otherSecret.strSecret = "new secret";
    cache.Store(key, "tok1", 3599, t0);
    EXPECT_EQ(cache.Find(key, t0 + std::chrono::seconds(3298)), "tok1");
    EXPECT_FALSE(cache.Find(otherSecret, t0));
    EXPECT_FALSE(cache.Find(key, t0 + std::chrono::seconds(3299)));
    EXPECT_FALSE(cache.Find(key, t0)) << "expired entries are gone for good";
    cache.Store(key, "old", 3599, t0);
    cache.Store(key, "new", 3599, t0);
    cache.Forget(key, "old");
    EXPECT_EQ(cache.Find(key, t0), "new") << "only the refused token is dropped";
    cache.Forget(key, "new");
    EXPECT_FALSE(cache.Find(key, t0));
}

TEST(SmtpReplyReaderTest, RepliesWholeAtEveryCutForeignLinesRefusedAndNotify) {
    const std::string wire = "250 2.1.0 Sender OK\r\n550-5.1.1 first\r\n550 5.1.1 last\n221\r\n";
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        SmtpReplyReader reader;
        std::vector<SmtpReply> replies;
        SmtpReply reply;
        for (const std::string& piece : {wire.substr(0, cut), wire.substr(cut)}) {
            reader.Feed(piece);
            while (reader.Next(reply))
                replies.push_back(reply);
        }
        ASSERT_EQ(replies.size(), 3u) << cut;
        EXPECT_TRUE(replies[0].IsPositive());
        EXPECT_EQ(replies[1].nCode, 550);
        EXPECT_FALSE(replies[1].IsPositive());
        EXPECT_EQ(replies[1].Text(), "550-5.1.1 first 550 5.1.1 last");
        EXPECT_EQ(replies[2].Text(), "221");
    }
    std::string flood;
    for (int i = 0; i < 10000; ++i)
        flood += "250-capability line\r\n";
    for (const std::string& foreign :
         {std::string("HTTP/1.1 400 Bad Request\r\n"), std::string("25 x\r\n"),
          std::string("250x\r\n"), std::string("650 no class\r\n"), std::string("\r\n"),
          std::string(70000, 'x'), flood}) {
        SmtpReplyReader reader;
        EXPECT_THROW(reader.Feed(foreign), RelayError) << foreign.substr(0, 30);
    }
    EXPECT_EQ(SmtpSubmission::NotifyParameter(false, false), "");
    EXPECT_EQ(SmtpSubmission::NotifyParameter(true, false), " NOTIFY=SUCCESS");
    EXPECT_EQ(SmtpSubmission::NotifyParameter(false, true), " NOTIFY=FAILURE");
    EXPECT_EQ(SmtpSubmission::NotifyParameter(true, true), " NOTIFY=SUCCESS,FAILURE");
}

TEST(TextConvertTest, Charsets) {
    EXPECT_EQ(ArgumentText(nullptr), u"");
    // Characters the charset lacks, or an unknown charset: UTF-8, labelled so.
    for (const auto& [wide, charset, bytes, used] :
         {std::tuple{u"Gr\u00fc\u00dfe", "ISO-8859-1",
                     "Gr\xFC\xDF"
                     "e",
                     "iso-8859-1"},
          {u"5 \u20ac \u201cq\u201d", "windows-1252", "5 \x80 \x93q\x94", "windows-1252"},
          {u"plain", "us-ascii", "plain", "us-ascii"},
          {u"5 \u20ac", "latin1", "5 \xE2\x82\xAC", "utf-8"},
          {u"\u00e9", "us-ascii", "\xC3\xA9", "utf-8"},
          {u"\u0080", "windows-1252", "\xC2\x80", "utf-8"},  // 0x80 is the euro sign there
          {u"\u00e9", "x-unknown", "\xC3\xA9", "utf-8"},
          {u"\u00e9", "", "\xC3\xA9", "utf-8"}}) {
        std::string usedCharset;
        EXPECT_EQ(EncodeCharset(wide, charset, usedCharset), bytes) << charset;
        EXPECT_EQ(usedCharset, used) << charset;
    }
}
