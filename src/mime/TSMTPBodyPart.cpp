#include "mime/TSMTPBodyPart.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"
#include "mime/Base64Lines.h"
#include "mime/TAttachmentFile.h"
#include "platform/Charsets.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/MediaTypes.h"
#include "platform/Uuid.h"
#include "vxutil.h"

namespace {

std::u16string NewBoundary() {
    platform::UUID uuid{};
    platform::UuidCreate(&uuid);
    return platform::UuidToStringW(uuid);
}

// A new block of count + 1 bytes, the last one NUL.
bool HandOut(const char* data, size_t count, char*& pBuffer, DWORD& dwSize) {
    pBuffer = new (std::nothrow) char[count + 1];
    if (pBuffer == nullptr)
        return false;
    if (count > 0)
        std::memcpy(pBuffer, data, count);
    pBuffer[count] = '\0';
    dwSize = static_cast<DWORD>(count);
    return true;
}

// Base64 of the bytes in lines of 76 characters, each followed by CRLF, in a
// new NUL-terminated block.
bool HandOutBase64(const unsigned char* data, size_t count, char*& pBuffer, DWORD& dwSize) {
    pBuffer = new (std::nothrow) char[Base64LinesRoom(count)];
    size_t written = 0;
    if (pBuffer != nullptr && !WriteBase64Lines(data, count, pBuffer, written)) {
        delete[] pBuffer;
        pBuffer = nullptr;
    }
    if (pBuffer == nullptr)
        return false;
    pBuffer[written] = '\0';
    dwSize = static_cast<DWORD>(written);
    return true;
}

// "; " and the parameter on the header line, or on a folded line of its own
// when it would take the line past 78 characters (a ";" after it included)
// or spans lines itself.
void AppendParameter(std::string& header, const std::string& parameter) {
    const size_t lineStart = header.rfind('\n') + 1;  // 0 when there is none
    if (parameter.find('\n') == std::string::npos &&
        header.size() - lineStart + 2 + parameter.size() + 1 <= 78) {
        header += "; " + parameter;
    } else {
        header += ";\r\n " + parameter;
    }
}

std::string Utf8(const std::u16string& text) {
    std::string utf8;
    strWideToAnsi(utf8, text.c_str(), static_cast<int>(text.size()), CP_UTF8, false);
    return utf8;
}

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

void DeleteChildren(std::vector<TSMTPBodyPart*>& children) {
    for (TSMTPBodyPart* child : children)
        delete child;
    children.clear();
}

}  // namespace

TSMTPBodyPart::TSMTPBodyPart()
    : m_sContentType(u"text/plain"),
      m_sCharset(u"iso-8859-1"),
      m_pParentBodyPart(nullptr),
      m_sBoundary(NewBoundary()),
      m_bQuotedPrintable(1),
      m_bBase64(0),
      m_dwMaxAttachmentSize(52428800) {
    TFunctionTrace trace(u"TSMTPBodyPart::TSMTPBodyPart");
}

// A copy takes over the source's boundary; it never makes one of its own.
TSMTPBodyPart::TSMTPBodyPart(const TSMTPBodyPart& source)
    : m_pParentBodyPart(nullptr),
      m_bQuotedPrintable(1),
      m_bBase64(0),
      m_dwMaxAttachmentSize(52428800) {
    TFunctionTrace trace(u"TSMTPBodyPart::TSMTPBodyPart");
    *this = source;
}

TSMTPBodyPart& TSMTPBodyPart::operator=(const TSMTPBodyPart& source) {
    TFunctionTrace trace(u"TSMTPBodyPart::operator =");
    if (this == &source)
        return *this;
    m_sFilename = source.m_sFilename;
    m_sText = source.m_sText;
    m_sTitle = source.m_sTitle;
    m_sContentType = source.m_sContentType;
    m_sCharset = source.m_sCharset;
    m_sContentBase = source.m_sContentBase;
    m_sContentID = source.m_sContentID;
    m_sContentLocation = source.m_sContentLocation;
    m_pParentBodyPart = source.m_pParentBodyPart;
    m_sBoundary = source.m_sBoundary;
    m_bQuotedPrintable = source.m_bQuotedPrintable;
    m_bBase64 = source.m_bBase64;
    m_dwMaxAttachmentSize = source.m_dwMaxAttachmentSize;
    DeleteChildren(m_ChildBodyParts);
    m_ChildBodyParts.reserve(source.m_ChildBodyParts.size());
    for (const TSMTPBodyPart* child : source.m_ChildBodyParts) {
        auto* copy = new TSMTPBodyPart(*child);
        copy->m_pParentBodyPart = this;
        m_ChildBodyParts.push_back(copy);
    }
    return *this;
}

TSMTPBodyPart::~TSMTPBodyPart() {
    TFunctionTrace trace(u"TSMTPBodyPart::~TSMTPBodyPart");
    DeleteChildren(m_ChildBodyParts);
}

int TSMTPBodyPart::AddChildBodyPart(const TSMTPBodyPart& part) {
    int nCount = 0;
    TFunctionTrace trace(u"TSMTPBodyPart::AddChildBodyPart");
    trace.Bind(&nCount);
    if (m_sContentType.empty()) {
        HostLogMessage(HOSTLOG_WARNING, u"TSMTPBodyPart::AddChildBodyPart : Empty content type !");
    }
    auto* copy = new TSMTPBodyPart(part);
    copy->m_pParentBodyPart = this;
    m_ChildBodyParts.push_back(copy);
    nCount = static_cast<int>(m_ChildBodyParts.size());
    return nCount;
}

TSMTPBodyPart* TSMTPBodyPart::FindFirstBodyPart(std::u16string sContentType) {
    TFunctionTrace trace(u"TSMTPBodyPart::FindFirstBodyPart");
    for (TSMTPBodyPart* child : m_ChildBodyParts) {
        if (child->m_sContentType == sContentType) {
            DiagPrint(u"TSMTPBodyPart::FindFirstBodyPart <== return %p \n",
                      static_cast<void*>(child));
            return child;
        }
    }
    DiagPrint(u"TSMTPBodyPart::FindFirstBodyPart <== return NULL.\n");
    return nullptr;
}

TSMTPBodyPart* TSMTPBodyPart::GetChildBodyPart(int nIndex) const {
    TFunctionTrace trace(u"TSMTPBodyPart::GetChildBodyPart");
    if (nIndex < 0 || nIndex >= static_cast<int>(m_ChildBodyParts.size()))
        return nullptr;
    return m_ChildBodyParts[static_cast<size_t>(nIndex)];
}

int TSMTPBodyPart::GetNumberOfChildBodyParts() const {
    TFunctionTrace trace(u"TSMTPBodyPart::GetNumberOfChildBodyParts");
    return static_cast<int>(m_ChildBodyParts.size());
}

void TSMTPBodyPart::RemoveChildBodyPart(int nIndex) {
    TFunctionTrace trace(u"TSMTPBodyPart::RemoveChildBodyPart");
    if (nIndex < 0 || nIndex >= static_cast<int>(m_ChildBodyParts.size()))
        return;
    delete m_ChildBodyParts[static_cast<size_t>(nIndex)];
    m_ChildBodyParts.erase(m_ChildBodyParts.begin() + nIndex);
}

bool TSMTPBodyPart::SetFilename(const std::u16string& sPath) {
    bool bResult = true;
    TFunctionTrace trace(u"TSMTPBodyPart::SetFilename");
    trace.Bind(&bResult);
    if (sPath.empty())
        HostLogMessage(HOSTLOG_WARNING, u"TSMTPBodyPart::SetFilename : Empty Filename !");
    m_sFilename = sPath;
    // File name and extension: without a drive ("C:") and without the
    // directory, which ends at the last "\" or "/".
    size_t from = sPath.size() >= 2 && sPath[1] == u':' ? 2 : 0;
    size_t slash = sPath.find_last_of(u"\\/");
    if (slash != std::u16string::npos && slash + 1 > from)
        from = slash + 1;
    m_sTitle = sPath.substr(from);
    m_sContentType = Widen(platform::MediaTypeOfFile(m_sTitle));
    return bResult;
}

void TSMTPBodyPart::SetText(const std::u16string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::SetText");
    // Every line break becomes CRLF: a CRLF pair, a lone CR and a lone LF each
    // count as one break. Counted first, then the runs between breaks copied.
    const char16_t* src = sText.data();
    const char16_t* const end = src + sText.size();
    size_t breaks = 0;
    for (const char16_t* q = src; q < end; ++q)
        breaks += (*q == u'\r') | (*q == u'\n');
    std::u16string text(sText.size() + breaks, u'\0');
    char16_t* p = text.data();
    while (src < end) {
        const char16_t* run = src;
        while (src < end && *src != u'\r' && *src != u'\n')
            ++src;
        p = std::copy(run, src, p);
        if (src == end)
            break;
        src += *src == u'\r' && src + 1 < end && src[1] == u'\n' ? 2 : 1;
        *p++ = u'\r';
        *p++ = u'\n';
    }
    text.resize(static_cast<size_t>(p - text.data()));
    m_sText.swap(text);
    m_sContentType = u"text/plain";
}

std::u16string TSMTPBodyPart::EncodeText(std::string& bytes) const {
    std::u16string charset = m_sCharset;
    to_lower(charset);
    if (charset != u"utf-8" && platform::EncodeInCharset(m_sText, m_sCharset, bytes))
        return m_sCharset;
    strWideToAnsi(bytes, m_sText.c_str(), static_cast<int>(m_sText.size()), CP_UTF8, false);
    return charset == u"utf-8" ? m_sCharset : u"utf-8";
}

std::u16string TSMTPBodyPart::TextCharset() const {
    // UTF-8 holds every text: nothing to convert to find that out.
    std::u16string charset = m_sCharset;
    to_lower(charset);
    if (charset == u"utf-8")
        return m_sCharset;
    std::string bytes;
    return EncodeText(bytes);
}

bool TSMTPBodyPart::GetHeader(char*& pBuffer, DWORD& dwSize) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPBodyPart::GetHeader");
    trace.Bind(&bResult);
    pBuffer = nullptr;
    dwSize = 0;
    if (m_pParentBodyPart == nullptr) {
        HostLogMessage(HOSTLOG_WARNING, u"TSMTPBodyPart::GetHeader : Empty m_pParentBodyPart!");
        return bResult;
    }
    const std::string P = Utf8(m_pParentBodyPart->m_sBoundary);
    // The charset belongs to text alone (RFC 2046): a text part says what it
    // is in, an attachment keeps the label it was given.
    std::string CT = "\r\nContent-Type: " + Utf8(m_sContentType);
    if (m_sContentType.compare(0, 5, u"text/") == 0)
        CT += "; charset=" + Utf8(m_sFilename.empty() ? TextCharset() : m_sCharset);
    const std::string boundary = "Boundary=\"" + Utf8(m_sBoundary) + "\"";
    const bool bChildren = !m_ChildBodyParts.empty();
    std::string header;
    if (!m_sFilename.empty()) {
        header = "\r\n\r\n--" + P + CT;
        AppendParameter(header, NameParameter(m_sTitle));
        if (bChildren)
            AppendParameter(header, boundary);
        header += "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment";
        AppendParameter(header, FilenameParameter(m_sTitle));
        header += "\r\n";
    } else {
        header = "\r\n--" + P + CT;
        if (bChildren)
            header += "; " + boundary;
        header += "\r\n";
        if (m_bBase64) {
            header += "Content-Transfer-Encoding: base64\r\n";
        } else if (m_bQuotedPrintable) {
            header += "Content-Transfer-Encoding: quoted-printable\r\n";
        }
    }
    if (!m_sContentBase.empty())
        header += "Content-Base: " + Utf8(m_sContentBase) + "\r\n";
    if (!m_sContentID.empty())
        header += "Content-ID: " + Utf8(m_sContentID) + "\r\n";
    if (!m_sContentLocation.empty())
        header += "Content-Location: " + Utf8(m_sContentLocation) + "\r\n";
    header += "\r\n";
    bResult = HandOut(header.data(), header.size(), pBuffer, dwSize);
    return bResult;
}

bool TSMTPBodyPart::GetBody(char*& pBuffer, DWORD& dwSize) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPBodyPart::GetBody");
    trace.Bind(&bResult);
    pBuffer = nullptr;
    dwSize = 0;
    if (!m_sFilename.empty()) {
        TAttachmentFile file;
        if (!file.Open(m_sFilename, m_dwMaxAttachmentSize))
            return bResult;
        if (file.Size() == 0) {
            bResult = true;  // an empty file: empty body, no block
            return bResult;
        }
        // The lines are written block by block straight into the one block
        // handed out: the file is never held whole beside its text.
        const size_t room = Base64LinesRoom(static_cast<size_t>(file.Size()));
        std::unique_ptr<char[]> block(new (std::nothrow) char[room]);
        if (!block) {
            platform::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return bResult;
        }
        size_t used = 0;
        while (!file.AtEnd()) {
            size_t written = 0;
            if (!file.ReadLines(block.get() + used, room - used, written))
                return bResult;
            used += written;
        }
        block[used] = '\0';
        pBuffer = block.release();
        dwSize = static_cast<DWORD>(used);
        bResult = true;
        return bResult;
    }

    std::string bytes;
    EncodeText(bytes);
    if (m_bBase64) {
        bResult = HandOutBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                pBuffer, dwSize);
        return bResult;
    }
    std::string body = m_bQuotedPrintable ? QuotedPrintableEncode(bytes) : std::move(bytes);
    // The stuffing runs on the encoded bytes, so that lines a soft line break
    // starts are covered as well, and only here, so nothing is stuffed twice.
    MakeTransparent(body);
    bResult = HandOut(body.data(), body.size(), pBuffer, dwSize);
    return bResult;
}

bool TSMTPBodyPart::GetFooter(char*& pBuffer, DWORD& dwSize) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPBodyPart::GetFooter");
    trace.Bind(&bResult);
    pBuffer = nullptr;
    dwSize = 0;
    const std::string utf8 = Utf8(u"\r\n--" + m_sBoundary + u"--");
    bResult = HandOut(utf8.data(), utf8.size(), pBuffer, dwSize);
    return bResult;
}

void TSMTPBodyPart::FreeHeader(char*& pBuffer) {
    TFunctionTrace trace(u"TSMTPBodyPart::FreeHeader");
    delete[] pBuffer;
    pBuffer = nullptr;
}

void TSMTPBodyPart::FreeBody(char*& pBuffer) {
    TFunctionTrace trace(u"TSMTPBodyPart::FreeBody");
    delete[] pBuffer;
    pBuffer = nullptr;
}

void TSMTPBodyPart::FreeFooter(char*& pBuffer) {
    TFunctionTrace trace(u"TSMTPBodyPart::FreeFooter");
    delete[] pBuffer;
    pBuffer = nullptr;
}
