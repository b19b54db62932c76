#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "mime/Base64Lines.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf.h"
#include "vxutil.h"

namespace {

using platform::Utf16ToUtf8;

std::string Header(TSMTPBodyPart& part) {
    char* buffer = nullptr;
    DWORD size = 0;
    EXPECT_TRUE(part.GetHeader(buffer, size));
    std::string text(buffer != nullptr ? buffer : "", size);
    TSMTPBodyPart::FreeHeader(buffer);
    return text;
}

// GetBody's result to ok, else it must be true.
std::string Body(TSMTPBodyPart& part, bool* ok = nullptr) {
    char* buffer = nullptr;
    DWORD size = 0;
    const bool result = part.GetBody(buffer, size);
    if (ok != nullptr)
        *ok = result;
    else
        EXPECT_TRUE(result);
    EXPECT_TRUE(buffer == nullptr || buffer[size] == '\0') << "a NUL after the body";
    std::string text(buffer != nullptr ? buffer : "", size);
    TSMTPBodyPart::FreeBody(buffer);
    EXPECT_EQ(buffer, nullptr);
    return text;
}

std::u16string File(const ScratchDir& dir, const std::string& name, const std::string& bytes) {
    WriteBytes(dir.File(name), bytes);
    return dir.WideFile(name);
}

}  // namespace

TEST(BodyPart, TextFilenameAndBoundary) {
    TSMTPBodyPart part;
    part.m_sContentType = u"text/html";
    part.SetText(u"a\rb\nc\r\nd\r\r\ne\n\n.x");
    EXPECT_EQ(part.GetText(), u"a\r\nb\r\nc\r\nd\r\n\r\ne\r\n\r\n.x") << "CRLF, the dots kept";
    EXPECT_EQ(part.GetContentType(), u"text/plain");
    part.m_sCharset = u"utf-8";
    for (const auto& [path, title] :
         {std::pair{u"C:\\Reports\\2024\\Q1 summary.pdf", u"Q1 summary.pdf"},
          {u"D:notes.txt", u"notes.txt"},
          {u"/tmp/a:b.txt", u"a:b.txt"},
          {u"plain.bin", u"plain.bin"}}) {
        EXPECT_TRUE(part.SetFilename(path));
        EXPECT_EQ(part.m_sTitle, title);
        EXPECT_EQ(part.m_sFilename, path);
    }
    EXPECT_EQ(part.GetContentType(), u"application/octet-stream");
    EXPECT_EQ(part.GetCharset(), u"utf-8");
    EXPECT_TRUE(std::regex_match(
        Utf16ToUtf8(part.GetBoundary()),
        std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    EXPECT_NE(TSMTPBodyPart().GetBoundary(), part.GetBoundary());
}

TEST(BodyPart, HeadersAndFooters) {
    TSMTPBodyPart root, text, container, file, plain;
    text.m_sCharset = u"utf-8";
    text.SetText(u"hi");
    container.m_sContentType = u"multipart/alternative";
    container.AddChildBodyPart(TSMTPBodyPart());
    file.m_sCharset = u"utf-8";
    file.SetFilename(u"/some/dir/\u00dcbersicht 2.pdf");
    plain.SetFilename(u"C:\\data\\report.csv");
    for (TSMTPBodyPart* p : {&text, &container, &file, &plain})
        root.AddChildBodyPart(*p);
    TSMTPBodyPart* t = root.GetChildBodyPart(0);
    TSMTPBodyPart* c = root.GetChildBodyPart(1);
    const std::string open = "\r\n--" + Utf16ToUtf8(root.GetBoundary()) + "\r\nContent-Type: ";
    const std::string qp = "Content-Transfer-Encoding: quoted-printable\r\n";
    const std::string b64 = "Content-Transfer-Encoding: base64\r\n";
    EXPECT_EQ(Header(*t), open + "text/plain; charset=utf-8\r\n" + qp + "\r\n");
    t->m_bBase64 = 1;
    EXPECT_EQ(Header(*t), open + "text/plain; charset=utf-8\r\n" + b64 + "\r\n");
    t->m_bBase64 = t->m_bQuotedPrintable = 0;
    EXPECT_EQ(Header(*t), open + "text/plain; charset=utf-8\r\n\r\n");
    t->m_bQuotedPrintable = 1;
    t->m_sContentID = u"<id1>";
    t->m_sContentLocation = u"http://example.com/a";
    t->m_sContentBase = u"http://example.com/";
    EXPECT_EQ(Header(*t), open + "text/plain; charset=utf-8\r\n" + qp +
                              "Content-Base: http://example.com/\r\nContent-ID: <id1>\r\n"
                              "Content-Location: http://example.com/a\r\n\r\n");
    const std::string B = Utf16ToUtf8(c->GetBoundary());
    EXPECT_EQ(Header(*c), open + "multipart/alternative; Boundary=\"" + B + "\"\r\n" + qp + "\r\n")
        << "a charset on text alone";
    char* footer = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(c->GetFooter(footer, size));
    EXPECT_EQ(std::string(footer, size + 1), "\r\n--" + B + "--" + std::string(1, '\0'));
    TSMTPBodyPart::FreeFooter(footer);
    EXPECT_EQ(footer, nullptr);
    // Attachments: a blank line first; a parameter that would take its line
    // past 78 characters starts a folded line.
    EXPECT_EQ(
        Header(*root.GetChildBodyPart(2)),
        "\r\n" + open + "application/pdf; name=\"=?utf-8?q?=C3=9Cbersicht_2.pdf?=\"\r\n" + b64 +
            "Content-Disposition: attachment; filename*=utf-8''%C3%9Cbersicht%202.pdf\r\n\r\n");
    TSMTPBodyPart* withChild = root.GetChildBodyPart(3);
    withChild->AddChildBodyPart(TSMTPBodyPart());
    withChild->m_sContentID = u"<c>";
    EXPECT_EQ(Header(*withChild),
              "\r\n" + open + "text/csv; charset=iso-8859-1; name=\"report.csv\";\r\n Boundary=\"" +
                  Utf16ToUtf8(withChild->GetBoundary()) + "\"\r\n" + b64 +
                  "Content-Disposition: attachment; filename=\"report.csv\"\r\nContent-ID: "
                  "<c>\r\n\r\n");
    // The limit itself: 78 characters with the ";" that may follow stay on the line.
    TSMTPBodyPart* named = root.GetChildBodyPart(2);
    for (const auto& [stem, gap] : {std::pair{29u, "; "}, {30u, ";\r\n "}}) {
        named->m_sTitle = std::u16string(stem, u'x') + u".pdf";
        const std::string line =
            std::string("attachment") + gap + "filename=\"" + std::string(stem, 'x') + ".pdf\"\r\n";
        EXPECT_NE(Header(*named).find(line), std::string::npos) << Header(*named);
    }
}

TEST(BodyPart, TextBodiesInTheirCharsetAndTransparentOnce) {
    // The part's charset when it has every character, else UTF-8, named so.
    const struct {
        const char16_t *charset, *text;
        const char *body, *label;
    } rows[] = {
        {u"UTF-8", u"gr\u00fc\u00df=\n\u20ac", "gr=C3=BC=C3=9F=3D\r\n=E2=82=AC", "UTF-8"},
        {u"windows-1252", u"gr\u00fc\u00df=\n\u20ac", "gr=FC=DF=3D\r\n=80", "windows-1252"},
        {u"ISO-8859-1", u"gr\u00fc\u00df", "gr=FC=DF", "ISO-8859-1"},
        {u"iso-8859-1", u"\u20ac", "=E2=82=AC", "utf-8"},
        {u"shift_jis", u"\u65e5\u672c", "=93=FA=96{", "shift_jis"},
        {u"utf8", u"\u00fc", "=C3=BC", "utf-8"},
    };
    TSMTPBodyPart root;
    root.AddChildBodyPart(TSMTPBodyPart());
    TSMTPBodyPart& child = *root.GetChildBodyPart(0);
    for (const auto& row : rows) {
        child.m_sCharset = row.charset;
        child.SetText(row.text);
        EXPECT_EQ(Body(child), row.body) << row.label;
        EXPECT_NE(Header(child).find(std::string("; charset=") + row.label + "\r\n"),
                  std::string::npos)
            << Header(child);
    }
    TSMTPBodyPart part;
    part.m_bBase64 = 1;
    part.m_sCharset = u"utf-8";
    part.SetText(u"\u00e4");
    EXPECT_EQ(Body(part), "w6Q=\r\n");
    part.m_bBase64 = part.m_bQuotedPrintable = 0;
    part.SetText(u"as is = \u00e4\n.b");
    EXPECT_EQ(Body(part), "as is = \xc3\xa4\r\n..b");
    part.m_bQuotedPrintable = 1;
    part.SetText(u"");
    EXPECT_EQ(Body(part), "");
    // Asking again stuffs nothing twice; a soft line break starts a line too.
    part.SetText(u".dot\n..two\n.");
    EXPECT_EQ(Body(part), "..dot\r\n...two\r\n..");
    EXPECT_EQ(Body(part), "..dot\r\n...two\r\n..");
    EXPECT_EQ(part.GetText(), u".dot\r\n..two\r\n.");
    part.SetText(std::u16string(75, u'x') + u".after");
    EXPECT_EQ(Body(part), std::string(75, 'x') + "=\r\n..after");
}

TEST(BodyPart, AttachmentsAreBase64InLinesOfSeventySixOrTheirFilesError) {
    ScratchDir dir;
    TSMTPBodyPart part;
    std::string line;
    for (int i = 0; i < 19; ++i)
        line += "AQEB";
    for (const auto& [size, body] :
         {std::pair<size_t, std::string>{114, line + "\r\n" + line + "\r\n"},
          {115, line + "\r\n" + line + "\r\nAQ==\r\n"}}) {
        part.SetFilename(File(dir, "f.bin", std::string(size, '\x01')));
        EXPECT_EQ(Body(part), body) << size;
    }
    part.SetFilename(File(dir, "bytes.bin", std::string("\x00\xff\x10.\r\n", 6)));
    EXPECT_EQ(Body(part), "AP8QLg0K\r\n");
    part.SetFilename(File(dir, "empty.bin", ""));
    char* buffer = reinterpret_cast<char*>(&part);  // must be replaced
    DWORD size = 7;
    EXPECT_TRUE(part.GetBody(buffer, size));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    // Any size is the unbroken run cut at 76, around the writer's line, group
    // and block edges, with each set of vector instructions there is.
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 240; ++n)
        sizes.push_back(n);
    for (size_t block : {size_t{57 * 1024}, size_t{2 * 57 * 1024}})
        for (size_t d = 0; d < 5; ++d)
            sizes.insert(sizes.end(), {block - d, block + d});
    sizes.push_back(3 * 57 * 1024 + 58);
    for (size_t n : sizes) {
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        std::string run, lines;
        EncodeBase64(run, data, n);
        for (size_t at = 0; at < run.size(); at += 76)
            lines += run.substr(at, 76) + "\r\n";
        for (Base64Isa isa : {Base64Isa::Avx512Vbmi, Base64Isa::Ssse3, Base64Isa::Portable}) {
            if (!HasBase64Isa(isa))
                continue;
            std::string out(Base64LinesRoom(n), '\xAA');
            size_t written = 0;
            ASSERT_TRUE(WriteBase64LinesWith(isa, data, n, out.data(), written));
            ASSERT_LT(written, out.size()) << "room for the closing NUL";
            ASSERT_EQ(out.find_first_not_of('\xAA', written), std::string::npos)
                << "past the count";
            ASSERT_EQ(out.substr(0, written), lines) << n;
        }
    }
    // A file another holds without sharing fails with its error, until it is let go.
    bool ok = true;
    const std::u16string path = File(dir, "locked.bin", "data");
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
