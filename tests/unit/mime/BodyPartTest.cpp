#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "ScratchDir.h"
#include "diag/HostLog.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf.h"

namespace {

using platform::Utf16ToUtf8;

std::string Header(TSMTPBodyPart& part) {
    char* buffer = nullptr;
    DWORD size = 0;
    EXPECT_TRUE(part.GetHeader(buffer, size));
    if (buffer == nullptr)
        return std::string();
    EXPECT_EQ(buffer[size], '\0');
    std::string text(buffer, size);
    TSMTPBodyPart::FreeHeader(buffer);
    EXPECT_EQ(buffer, nullptr);
    return text;
}

std::string Body(TSMTPBodyPart& part, bool* ok = nullptr) {
    char* buffer = nullptr;
    DWORD size = 0;
    bool result = part.GetBody(buffer, size);
    if (ok != nullptr) {
        *ok = result;
    } else {
        EXPECT_TRUE(result);
    }
    std::string text;
    if (buffer != nullptr) {
        EXPECT_EQ(buffer[size], '\0');
        text.assign(buffer, size);
    } else {
        EXPECT_EQ(size, 0u);
    }
    TSMTPBodyPart::FreeBody(buffer);
    EXPECT_EQ(buffer, nullptr);
    return text;
}

// A file of the test's scratch folder with the given bytes, or only its size
// (sparse: quick to make).
std::u16string File(const ScratchDir& dir, const std::string& name, const std::string& bytes) {
    WriteBytes(dir.File(name), bytes);
    return dir.WideFile(name);
}

std::u16string SizedFile(const ScratchDir& dir, const std::string& name, std::uintmax_t size) {
    WriteBytes(dir.File(name), "");
    std::filesystem::resize_file(dir.File(name), size);
    return dir.WideFile(name);
}

}  // namespace

TEST(BodyPart, SetTextMakesEveryLineBreakCrLf) {
    TSMTPBodyPart part;
    part.m_sContentType = u"text/html";
    part.SetText(u"a\rb\nc\r\nd\r\r\ne\n\n");
    EXPECT_EQ(part.m_sText, u"a\r\nb\r\nc\r\nd\r\n\r\ne\r\n\r\n");
    EXPECT_EQ(part.GetContentType(), u"text/plain");
    part.SetText(u".x\n.y");
    EXPECT_EQ(part.GetText(), u".x\r\n.y") << "the stored text keeps its dots";
}

TEST(BodyPart, BoundariesAreVersionFourUuids) {
    TSMTPBodyPart a;
    TSMTPBodyPart b;
    EXPECT_NE(a.GetBoundary(), b.GetBoundary());
    // Lower-case hex, version 4, the RFC 4122 variant.
    const std::string text = Utf16ToUtf8(a.GetBoundary());
    const std::string shape = "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
    ASSERT_EQ(text.size(), shape.size()) << text;
    for (size_t i = 0; i < shape.size(); ++i) {
        const std::string allowed = shape[i] == 'x'   ? "0123456789abcdef"
                                    : shape[i] == 'v' ? "89ab"
                                                      : std::string(1, shape[i]);
        EXPECT_NE(allowed.find(text[i]), std::string::npos) << text << " at " << i;
    }
}

TEST(BodyPart, CopiesAreDeepAndKeepTheBoundary) {
    TSMTPBodyPart a;
    a.m_sContentType = u"multipart/mixed";
    a.m_sContentID = u"<id>";
    a.m_bBase64 = 1;
    TSMTPBodyPart child;
    child.SetText(u"child");
    TSMTPBodyPart grandchild;
    grandchild.SetText(u"grandchild");
    child.AddChildBodyPart(grandchild);
    EXPECT_EQ(a.AddChildBodyPart(child), 1);
    EXPECT_EQ(a.AddChildBodyPart(child), 2);

    TSMTPBodyPart copy(a);
    EXPECT_EQ(copy.GetBoundary(), a.GetBoundary());
    EXPECT_EQ(copy.m_sContentID, u"<id>");
    EXPECT_EQ(copy.m_bBase64, 1);
    ASSERT_EQ(copy.GetNumberOfChildBodyParts(), 2);
    TSMTPBodyPart* c = copy.GetChildBodyPart(0);
    EXPECT_NE(c, a.GetChildBodyPart(0));
    EXPECT_EQ(c->m_pParentBodyPart, &copy);
    EXPECT_EQ(c->GetBoundary(), child.GetBoundary());
    ASSERT_EQ(c->GetNumberOfChildBodyParts(), 1);
    EXPECT_EQ(c->GetChildBodyPart(0)->m_pParentBodyPart, c);
    EXPECT_EQ(c->GetChildBodyPart(0)->GetText(), u"grandchild");
    EXPECT_EQ(child.GetChildBodyPart(0)->m_pParentBodyPart, &child) << "the source is untouched";

    TSMTPBodyPart assigned;
    assigned.AddChildBodyPart(child);
    assigned = a;
    EXPECT_EQ(assigned.GetBoundary(), a.GetBoundary());
    EXPECT_EQ(assigned.GetNumberOfChildBodyParts(), 2) << "the target's own children go first";
    TSMTPBodyPart& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.GetNumberOfChildBodyParts(), 2);
    EXPECT_EQ(assigned.GetChildBodyPart(1)->m_pParentBodyPart, &assigned);

    a.RemoveChildBodyPart(0);
    ASSERT_EQ(a.GetNumberOfChildBodyParts(), 1);
    EXPECT_EQ(copy.GetNumberOfChildBodyParts(), 2);
}

TEST(BodyPart, FindFirstSearchesDirectChildrenExactly) {
    LogCapture capture;
    TSMTPBodyPart root;
    TSMTPBodyPart container;
    TSMTPBodyPart grandchild;
    grandchild.m_sContentType = u"text/html";
    container.m_sContentType = u"multipart/alternative";
    container.AddChildBodyPart(grandchild);
    root.AddChildBodyPart(container);
    TSMTPBodyPart text;
    root.AddChildBodyPart(text);
    root.AddChildBodyPart(text);
    EXPECT_EQ(root.FindFirstBodyPart(u"text/plain"), root.GetChildBodyPart(1));
    EXPECT_EQ(root.FindFirstBodyPart(u"TEXT/PLAIN"), nullptr);
    EXPECT_TRUE(capture.Contains(u"TSMTPBodyPart::FindFirstBodyPart <== return NULL."))
        << capture.Dump();
    EXPECT_EQ(root.FindFirstBodyPart(u"text/html"), nullptr) << "grandchildren are not searched";
}

TEST(BodyPart, SetFilenameTakesNameAndExtension) {
    TSMTPBodyPart part;
    part.m_sCharset = u"utf-8";
    EXPECT_TRUE(part.SetFilename(u"C:\\Reports\\2024\\Q1 summary.pdf"));
    EXPECT_EQ(part.m_sTitle, u"Q1 summary.pdf");
    EXPECT_EQ(part.m_sFilename, u"C:\\Reports\\2024\\Q1 summary.pdf");
    EXPECT_EQ(part.GetContentType(), u"application/octet-stream");
    EXPECT_EQ(part.GetCharset(), u"utf-8");
    // A colon past the drive is part of the name.
    for (const auto& [path, title] : {std::pair{u"D:notes.txt", u"notes.txt"},
                                      {u"/tmp/a:b.txt", u"a:b.txt"},
                                      {u"plain.bin", u"plain.bin"}}) {
        part.SetFilename(path);
        EXPECT_EQ(part.m_sTitle, title);
    }
}

TEST(BodyPart, WarningsGoToTheHostLog) {
    CapturingLogProvider log;
    SetHostLogProvider(&log);
    TSMTPBodyPart part;
    EXPECT_TRUE(part.SetFilename(u""));
    TSMTPBodyPart untyped;
    untyped.m_sContentType.clear();
    EXPECT_EQ(untyped.AddChildBodyPart(part), 1) << "the child is added all the same";
    char* buffer = nullptr;
    DWORD size = 0;
    EXPECT_FALSE(part.GetHeader(buffer, size)) << "a part without a parent has no header";
    EXPECT_EQ(buffer, nullptr);
    SetHostLogProvider(nullptr);
    EXPECT_TRUE(log.Contains(u"TSMTPBodyPart::SetFilename : Empty Filename !", 4));
    EXPECT_TRUE(log.Contains(u"TSMTPBodyPart::AddChildBodyPart : Empty content type !", 4));
    EXPECT_TRUE(log.Contains(u"TSMTPBodyPart::GetHeader : Empty m_pParentBodyPart!", 4));
}

TEST(BodyPart, HeadersOfTextParts) {
    TSMTPBodyPart root;
    TSMTPBodyPart text;
    text.m_sCharset = u"utf-8";
    text.SetText(u"hi");
    root.AddChildBodyPart(text);
    TSMTPBodyPart* t = root.GetChildBodyPart(0);
    const std::string P = Utf16ToUtf8(root.GetBoundary());
    const std::string open = "\r\n--" + P + "\r\nContent-Type: text/plain; charset=utf-8";
    EXPECT_EQ(Header(*t), open + "\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n");
    t->m_bBase64 = 1;
    EXPECT_EQ(Header(*t), open + "\r\nContent-Transfer-Encoding: base64\r\n\r\n");
    t->m_bBase64 = 0;
    t->m_bQuotedPrintable = 0;
    EXPECT_EQ(Header(*t), open + "\r\n\r\n");
    t->m_bQuotedPrintable = 1;

    t->m_sContentID = u"<id1>";
    EXPECT_EQ(Header(*t), open +
                              "\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                              "Content-ID: <id1>\r\n\r\n");
    t->m_sContentLocation = u"http://example.com/a";
    t->m_sContentBase = u"http://example.com/";
    EXPECT_EQ(Header(*t), open +
                              "\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                              "Content-Base: http://example.com/\r\nContent-ID: <id1>\r\n"
                              "Content-Location: http://example.com/a\r\n\r\n");
}

TEST(BodyPart, HeadersOfContainers) {
    TSMTPBodyPart root;
    TSMTPBodyPart container;
    container.m_sContentType = u"multipart/alternative";
    TSMTPBodyPart text;
    container.AddChildBodyPart(text);
    root.AddChildBodyPart(container);
    TSMTPBodyPart* c = root.GetChildBodyPart(0);
    const std::string P = Utf16ToUtf8(root.GetBoundary());
    const std::string B = Utf16ToUtf8(c->GetBoundary());
    const std::string open =
        "\r\n--" + P + "\r\nContent-Type: multipart/alternative; charset=iso-8859-1; Boundary=\"" +
        B + "\"\r\n";
    EXPECT_EQ(Header(*c), open + "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
    c->m_bBase64 = 1;
    EXPECT_EQ(Header(*c), open + "Content-Transfer-Encoding: base64\r\n\r\n");
    c->m_bBase64 = 0;
    c->m_bQuotedPrintable = 0;
    EXPECT_EQ(Header(*c), open + "\r\n");

    char* footer = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(c->GetFooter(footer, size));
    EXPECT_EQ(std::string(footer, size), "\r\n--" + B + "--");
    EXPECT_EQ(footer[size], '\0');
    TSMTPBodyPart::FreeFooter(footer);
    EXPECT_EQ(footer, nullptr);
}

TEST(BodyPart, HeadersOfAttachments) {
    TSMTPBodyPart root;
    TSMTPBodyPart file;
    file.m_sCharset = u"utf-8";
    file.SetFilename(u"/some/dir/\u00dcbersicht 2.pdf");
    EXPECT_EQ(file.m_sTitle, u"\u00dcbersicht 2.pdf");
    root.AddChildBodyPart(file);
    TSMTPBodyPart plain;
    plain.SetFilename(u"C:\\data\\report.csv");
    root.AddChildBodyPart(plain);
    const std::string P = Utf16ToUtf8(root.GetBoundary());
    const std::string N = "=?utf-8?q?=C3=9Cbersicht_2.pdf?=";
    EXPECT_EQ(Header(*root.GetChildBodyPart(0)),
              "\r\n\r\n--" + P +
                  "\r\nContent-Type: application/octet-stream; charset=utf-8; name=\"" + N +
                  "\"\r\nContent-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"" +
                  N + "\"\r\n\r\n");
    EXPECT_EQ(
        Header(*root.GetChildBodyPart(1)),
        "\r\n\r\n--" + P +
            "\r\nContent-Type: application/octet-stream; charset=iso-8859-1; name=\"report.csv\""
            "\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"report.csv\"\r\n\r\n");

    TSMTPBodyPart* withChild = root.GetChildBodyPart(1);
    withChild->AddChildBodyPart(TSMTPBodyPart());
    withChild->m_sContentID = u"<c>";
    EXPECT_EQ(
        Header(*withChild),
        "\r\n\r\n--" + P +
            "\r\nContent-Type: application/octet-stream; charset=iso-8859-1; name=\"report.csv\"; "
            "Boundary=\"" +
            Utf16ToUtf8(withChild->GetBoundary()) +
            "\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"report.csv\"\r\nContent-ID: <c>\r\n\r\n");
}

TEST(BodyPart, TextBodiesAreQuotedPrintableInTheirCodePage) {
    TSMTPBodyPart part;
    part.m_sCharset = u"UTF-8";
    part.SetText(u"gr\u00fc\u00df=\n\u20ac");
    EXPECT_EQ(Body(part), "gr=C3=BC=C3=9F=3D\r\n=E2=82=AC") << "any case of utf-8 selects UTF-8";
    part.m_sCharset = u"utf8";
    EXPECT_EQ(Body(part), "gr=FC=DF=3D\r\n=80") << "anything else: the ANSI code page";
    part.m_sCharset = u"iso-8859-1";
    EXPECT_EQ(Body(part), "gr=FC=DF=3D\r\n=80");

    part.m_bBase64 = 1;
    part.m_sCharset = u"utf-8";
    part.SetText(u"\u00e4");
    EXPECT_EQ(Body(part), "w6Q=\r\n");
    part.m_bBase64 = 0;
    part.m_bQuotedPrintable = 0;
    part.SetText(u"as is = \u00e4");
    EXPECT_EQ(Body(part), "as is = \xc3\xa4");

    part.m_bQuotedPrintable = 1;
    part.SetText(u"");
    EXPECT_EQ(Body(part), "");
}

TEST(BodyPart, BodiesAreTransparentOnTheWireOnce) {
    TSMTPBodyPart part;
    part.m_sCharset = u"utf-8";
    part.SetText(u".dot\n..two\n.");
    EXPECT_EQ(Body(part), "..dot\r\n...two\r\n..") << "the first line of a body counts too";
    EXPECT_EQ(Body(part), "..dot\r\n...two\r\n..") << "asking again stuffs nothing twice";
    EXPECT_EQ(part.GetText(), u".dot\r\n..two\r\n.");
    // A soft line break that starts a line with "." gets the extra dot too.
    part.SetText(std::u16string(77, u'x') + u".after");
    EXPECT_EQ(Body(part), std::string(77, 'x') + "=\r\n..after");
    part.m_bQuotedPrintable = 0;
    part.SetText(u"a\n.b");
    EXPECT_EQ(Body(part), "a\r\n..b");
}

TEST(BodyPart, AttachmentsAreBase64InLinesOfSeventySix) {
    ScratchDir dir;
    TSMTPBodyPart part;
    part.SetFilename(File(dir, "114.bin", std::string(114, '\x01')));
    std::string line;
    for (int i = 0; i < 19; ++i)
        line += "AQEB";
    EXPECT_EQ(Body(part), line + "\r\n" + line + "\r\n") << "a run of 152: two lines, nothing more";
    part.SetFilename(File(dir, "115.bin", std::string(115, '\x01')));
    EXPECT_EQ(Body(part), line + "\r\n" + line + "\r\nAQ==\r\n");
    part.SetFilename(File(dir, "bytes.bin", std::string("\x00\xff\x10.\r\n", 6)));
    EXPECT_EQ(Body(part), "AP8QLg0K\r\n");
}

TEST(BodyPart, AnEmptyFileIsAnEmptyBody) {
    ScratchDir dir;
    TSMTPBodyPart part;
    part.SetFilename(File(dir, "empty.bin", ""));
    char* buffer = reinterpret_cast<char*>(&part);  // must be replaced
    DWORD size = 7;
    EXPECT_TRUE(part.GetBody(buffer, size));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    TSMTPBodyPart::FreeBody(buffer);
}

TEST(BodyPart, UnreadableFilesFailWithTheirError) {
    ScratchDir dir;
    TSMTPBodyPart part;
    part.SetFilename(dir.WideFile("missing.bin"));
    bool ok = true;
    platform::SetLastError(0);
    Body(part, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);

    // A file another user holds without sharing cannot be read.
    std::u16string path = File(dir, "locked.bin", "data");
    HANDLE holder =
        platform::CreateFileW(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    part.SetFilename(path);
    Body(part, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform::GetLastError(), ERROR_SHARING_VIOLATION);
    platform::CloseHandle(holder);
    EXPECT_EQ(Body(part), "ZGF0YQ==\r\n");
}

TEST(BodyPart, TheAttachmentLimitIsFiftyMebibytes) {
    ScratchDir dir;
    TSMTPBodyPart part;
    EXPECT_EQ(part.m_dwMaxAttachmentSize, 52428800u);
    part.SetFilename(SizedFile(dir, "limit.bin", 52428800));
    bool ok = false;
    std::string body = Body(part, &ok);
    EXPECT_TRUE(ok) << "a file of exactly the limit is accepted";
    // 52428800 zero bytes: 69905068 Base64 characters in 919804 lines.
    EXPECT_EQ(body.size(), 69905068u + 2u * 919804u);
    EXPECT_EQ(body.substr(0, 78), std::string(76, 'A') + "\r\n");
    EXPECT_EQ(body.substr(body.size() - 42), std::string(39, 'A') + "=\r\n") << "a last line of 40";

    std::u16string over = SizedFile(dir, "over.bin", 52428801);
    part.SetFilename(over);
    platform::SetLastError(0);
    Body(part, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
    // No handle stays open after the failure: the file can be taken exclusively.
    HANDLE h =
        platform::CreateFileW(over.c_str(), GENERIC_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    platform::CloseHandle(h);
}
