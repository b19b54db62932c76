#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "mime/TSMTPBodyPart.h"
#include "platform/LastError.h"
#include "platform/Utf.h"

namespace {

std::string Header(TSMTPBodyPart& part) {
    char* buffer = nullptr;
    DWORD size = 0;
    EXPECT_TRUE(part.GetHeader(buffer, size));
    std::string text(buffer, size);
    TSMTPBodyPart::FreeHeader(buffer);
    EXPECT_EQ(buffer, nullptr);
    return text;
}

std::string Body(TSMTPBodyPart& part, bool* ok = nullptr) {
    char* buffer = nullptr;
    DWORD size = 0;
    bool result = part.GetBody(buffer, size);
    if (ok != nullptr) *ok = result;
    std::string text = buffer != nullptr ? std::string(buffer, size) : std::string();
    if (buffer != nullptr) EXPECT_EQ(buffer[size], '\0');
    TSMTPBodyPart::FreeBody(buffer);
    return text;
}

std::string WriteFile(const std::string& name, const std::string& bytes) {
    std::string path = ::testing::TempDir() + "/mime-" + std::to_string(::getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

}  // namespace

TEST(BodyPart, SetTextMakesEveryLineBreakCrLf) {
    TSMTPBodyPart part;
    part.m_sContentType = u"text/html";
    part.SetText(u"a\rb\nc\r\nd\r\r\ne");
    EXPECT_EQ(part.m_sText, u"a\r\nb\r\nc\r\nd\r\n\r\ne");
    EXPECT_EQ(part.m_sContentType, u"text/plain");
}

TEST(BodyPart, CopiesAreDeepAndKeepTheBoundary) {
    TSMTPBodyPart a;
    TSMTPBodyPart b;
    EXPECT_NE(a.m_sBoundary, b.m_sBoundary);
    EXPECT_EQ(a.m_sBoundary.size(), 36u);
    EXPECT_EQ(a.m_sBoundary[14], u'4') << "a version-4 UUID";
    TSMTPBodyPart child;
    child.SetText(u"child");
    a.AddChildBodyPart(child);
    TSMTPBodyPart copy(a);
    EXPECT_EQ(copy.m_sBoundary, a.m_sBoundary);
    ASSERT_EQ(copy.GetNumberOfChildBodyParts(), 1);
    EXPECT_NE(copy.GetChildBodyPart(0), a.GetChildBodyPart(0));
    EXPECT_EQ(copy.GetChildBodyPart(0)->m_pParentBodyPart, &copy);
    EXPECT_EQ(copy.GetChildBodyPart(0)->GetText(), u"child");
    copy = copy;
    EXPECT_EQ(copy.GetNumberOfChildBodyParts(), 1);
    a.RemoveChildBodyPart(0);
    EXPECT_EQ(a.GetNumberOfChildBodyParts(), 0);
}

TEST(BodyPart, FindFirstSearchesDirectChildrenExactly) {
    TSMTPBodyPart root;
    TSMTPBodyPart container;
    TSMTPBodyPart grandchild;
    grandchild.m_sContentType = u"text/html";
    container.m_sContentType = u"multipart/mixed";
    container.AddChildBodyPart(grandchild);
    root.AddChildBodyPart(container);
    TSMTPBodyPart text;
    root.AddChildBodyPart(text);
    EXPECT_EQ(root.FindFirstBodyPart(u"text/plain"), root.GetChildBodyPart(1));
    EXPECT_EQ(root.FindFirstBodyPart(u"TEXT/PLAIN"), nullptr);
    EXPECT_EQ(root.FindFirstBodyPart(u"text/html"), nullptr);
}

TEST(BodyPart, HeadersOfEachKind) {
    TSMTPBodyPart root;
    TSMTPBodyPart text;
    text.m_sCharset = u"utf-8";
    text.SetText(u"hi");
    root.AddChildBodyPart(text);
    TSMTPBodyPart* t = root.GetChildBodyPart(0);
    std::string P(platform::Utf16ToUtf8(root.m_sBoundary));
    EXPECT_EQ(Header(*t), "\r\n--" + P +
                              "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
    t->m_sContentID = u"<id1>";
    EXPECT_EQ(Header(*t), "\r\n--" + P +
                              "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              "Content-Transfer-Encoding: quoted-printable\r\nContent-ID: <id1>\r\n\r\n");
    t->m_bBase64 = 1;
    t->m_sContentID.clear();
    EXPECT_NE(Header(*t).find("Content-Transfer-Encoding: base64\r\n\r\n"), std::string::npos);

    TSMTPBodyPart file;
    file.m_sCharset = u"utf-8";
    file.SetFilename(u"/some/dir/\u00dcbersicht 2.pdf");
    EXPECT_EQ(file.m_sTitle, u"\u00dcbersicht 2.pdf");
    EXPECT_EQ(file.m_sContentType, u"application/octet-stream");
    root.AddChildBodyPart(file);
    std::string N = "=?utf-8?q?=C3=9Cbersicht_2.pdf?=";
    EXPECT_EQ(Header(*root.GetChildBodyPart(1)),
              "\r\n\r\n--" + P + "\r\nContent-Type: application/octet-stream; charset=utf-8; name=\"" + N +
                  "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + N +
                  "\"\r\n\r\n");

    TSMTPBodyPart container;
    container.m_sContentType = u"multipart/alternative";
    container.AddChildBodyPart(text);
    root.AddChildBodyPart(container);
    TSMTPBodyPart* c = root.GetChildBodyPart(2);
    EXPECT_NE(Header(*c).find("; Boundary=\"" + platform::Utf16ToUtf8(c->m_sBoundary) + "\"\r\n"),
              std::string::npos);
    char* footer = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(c->GetFooter(footer, size));
    EXPECT_EQ(std::string(footer, size), "\r\n--" + platform::Utf16ToUtf8(c->m_sBoundary) + "--");
    TSMTPBodyPart::FreeFooter(footer);

    TSMTPBodyPart orphan;
    char* buffer = nullptr;
    EXPECT_FALSE(orphan.GetHeader(buffer, size)) << "a part without a parent has no header";
}

TEST(BodyPart, TextBodiesAreQuotedPrintableAndTransparent) {
    TSMTPBodyPart part;
    part.m_sCharset = u"UTF-8";
    part.SetText(u".dot\n\u00e4");
    EXPECT_EQ(Body(part), "..dot\r\n=C3=A4");
    part.m_sCharset = u"utf8";  // not "utf-8": the ANSI code page
    EXPECT_EQ(Body(part), "..dot\r\n=E4");
    // A soft line break that starts a line with "." gets the extra dot too.
    part.m_sCharset = u"utf-8";
    part.SetText(std::u16string(77, u'x') + u".after");
    EXPECT_EQ(Body(part), std::string(77, 'x') + "=\r\n...after");
}

TEST(BodyPart, AttachmentsAreBase64InLinesOfSeventySix) {
    TSMTPBodyPart part;
    part.SetFilename(platform::Utf8ToUtf16(WriteFile("114.bin", std::string(114, '\x01'))));
    EXPECT_EQ(Body(part), std::string(76, 'A') == "" ? "" : Body(part));
    std::string body = Body(part);
    ASSERT_EQ(body.size(), 152u + 4u) << "a run of 152 characters: two full lines";
    EXPECT_EQ(body.substr(76, 2), "\r\n");
    EXPECT_EQ(body.substr(154, 2), "\r\n");

    part.SetFilename(platform::Utf8ToUtf16(WriteFile("115.bin", std::string(115, '\x01'))));
    body = Body(part);
    EXPECT_EQ(body.size(), 156u + 4u + 2u) << "a run of 156: a third, short line";

    part.SetFilename(platform::Utf8ToUtf16(WriteFile("empty.bin", "")));
    bool ok = false;
    EXPECT_EQ(Body(part, &ok), "");
    EXPECT_TRUE(ok) << "an empty file is not a failure";

    part.SetFilename(u"/no/such/file.bin");
    Body(part, &ok);
    EXPECT_FALSE(ok);
}

TEST(BodyPart, TheAttachmentLimitIsFiftyMebibytes) {
    TSMTPBodyPart part;
    part.m_dwMaxAttachmentSize = 10;  // the same rule, on a small file
    part.SetFilename(platform::Utf8ToUtf16(WriteFile("limit.bin", std::string(10, 'z'))));
    bool ok = false;
    Body(part, &ok);
    EXPECT_TRUE(ok) << "a file of exactly the limit is accepted";
    part.SetFilename(platform::Utf8ToUtf16(WriteFile("over.bin", std::string(11, 'z'))));
    platform::SetLastError(0);
    Body(part, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform::GetLastError(), 87u);
    EXPECT_EQ(TSMTPBodyPart().m_dwMaxAttachmentSize, 52428800u);
}
