#include "mime/TSMTPBodyPart.h"

#include <cstring>
#include <new>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Uuid.h"
#include "vxutil.h"

namespace {

constexpr size_t kBase64LineLength = 76;

std::u16string NewBoundary() {
    platform::UUID uuid{};
    platform::UuidCreate(&uuid);
    return platform::UuidToStringW(uuid);
}

// A new block of count + 1 bytes, the last one NUL.
bool HandOut(const char* data, size_t count, char*& pBuffer, DWORD& dwSize) {
    pBuffer = new (std::nothrow) char[count + 1];
    if (pBuffer == nullptr) return false;
    if (count > 0) std::memcpy(pBuffer, data, count);
    pBuffer[count] = '\0';
    dwSize = static_cast<DWORD>(count);
    return true;
}

// Base64 of the bytes in lines of 76 characters, each followed by CRLF.
bool Base64Lines(std::string& run, char*& pBuffer, DWORD& dwSize) {
    size_t lines = (run.size() + kBase64LineLength - 1) / kBase64LineLength;
    size_t room = (run.size() / kBase64LineLength) * 2 + 3 + run.size();
    pBuffer = new (std::nothrow) char[room + 1];
    if (pBuffer == nullptr) return false;
    char* p = pBuffer;
    for (size_t at = 0; at < run.size(); at += kBase64LineLength) {
        size_t n = run.size() - at < kBase64LineLength ? run.size() - at : kBase64LineLength;
        std::memcpy(p, run.data() + at, n);
        p += n;
        *p++ = '\r';
        *p++ = '\n';
    }
    *p = '\0';
    dwSize = static_cast<DWORD>(run.size() + lines * 2);
    return true;
}

}  // namespace

// SMTP transparency: every line of a transmitted body that starts with "."
// gets one more ".". A body always starts a line, so its first character
// counts too. Only quoted-printable and unencoded bodies need it (Base64 has
// no "."), and it runs on the encoded bytes, so that lines a soft line break
// starts are covered and nothing is stuffed twice. The stored text itself is
// never stuffed.
void TSMTPBodyPart::MakeTransparent(std::string& sBody) {
    FixSingleDotA(sBody);
    if (!sBody.empty() && sBody[0] == '.') sBody.insert(sBody.begin(), '.');
}

TSMTPBodyPart::TSMTPBodyPart()
    : m_sContentType(u"text/plain"),
      m_sCharset(u"iso-8859-1"),
      m_pParentBodyPart(nullptr),
      m_sBoundary(NewBoundary()),
      m_bQuotedPrintable(1),
      m_bBase64(0),
      m_dwMaxAttachmentSize(52428800) {}

TSMTPBodyPart::TSMTPBodyPart(const TSMTPBodyPart& source)
    : m_pParentBodyPart(nullptr), m_bQuotedPrintable(1), m_bBase64(0), m_dwMaxAttachmentSize(52428800) {
    *this = source;
}

TSMTPBodyPart& TSMTPBodyPart::operator=(const TSMTPBodyPart& source) {
    TFunctionTrace trace(u"TSMTPBodyPart::operator =");
    if (this == &source) return *this;
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
    for (TSMTPBodyPart* child : m_ChildBodyParts) delete child;
    m_ChildBodyParts.clear();
    for (const TSMTPBodyPart* child : source.m_ChildBodyParts) {
        auto* copy = new TSMTPBodyPart(*child);
        copy->m_pParentBodyPart = this;
        m_ChildBodyParts.push_back(copy);
    }
    return *this;
}

TSMTPBodyPart::~TSMTPBodyPart() {
    for (TSMTPBodyPart* child : m_ChildBodyParts) delete child;
}

int TSMTPBodyPart::AddChildBodyPart(const TSMTPBodyPart& part) {
    TFunctionTrace trace(u"TSMTPBodyPart::AddChildBodyPart");
    if (m_sContentType.empty()) HostLogMessage(HOSTLOG_WARNING, u"TSMTPBodyPart::AddChildBodyPart : Empty content type !");
    auto* copy = new TSMTPBodyPart(part);
    copy->m_pParentBodyPart = this;
    m_ChildBodyParts.push_back(copy);
    return static_cast<int>(m_ChildBodyParts.size());
}

TSMTPBodyPart* TSMTPBodyPart::FindFirstBodyPart(std::u16string sContentType) {
    TFunctionTrace trace(u"TSMTPBodyPart::FindFirstBodyPart");
    for (TSMTPBodyPart* child : m_ChildBodyParts) {
        if (child->m_sContentType == sContentType) {
            DiagPrint(u"TSMTPBodyPart::FindFirstBodyPart <== return %p \n", static_cast<void*>(child));
            return child;
        }
    }
    DiagPrint(u"TSMTPBodyPart::FindFirstBodyPart <== return NULL.\n");
    return nullptr;
}

TSMTPBodyPart* TSMTPBodyPart::GetChildBodyPart(int nIndex) const {
    TFunctionTrace trace(u"TSMTPBodyPart::GetChildBodyPart");
    if (nIndex < 0 || nIndex >= static_cast<int>(m_ChildBodyParts.size())) return nullptr;
    return m_ChildBodyParts[static_cast<size_t>(nIndex)];
}

int TSMTPBodyPart::GetNumberOfChildBodyParts() const {
    TFunctionTrace trace(u"TSMTPBodyPart::GetNumberOfChildBodyParts");
    return static_cast<int>(m_ChildBodyParts.size());
}

void TSMTPBodyPart::RemoveChildBodyPart(int nIndex) {
    TFunctionTrace trace(u"TSMTPBodyPart::RemoveChildBodyPart");
    if (nIndex < 0 || nIndex >= static_cast<int>(m_ChildBodyParts.size())) return;
    delete m_ChildBodyParts[static_cast<size_t>(nIndex)];
    m_ChildBodyParts.erase(m_ChildBodyParts.begin() + nIndex);
}

bool TSMTPBodyPart::SetFilename(const std::u16string& sPath) {
    TFunctionTrace trace(u"TSMTPBodyPart::SetFilename");
    if (sPath.empty()) HostLogMessage(HOSTLOG_WARNING, u"TSMTPBodyPart::SetFilename : Empty Filename !");
    m_sFilename = sPath;
    // File name and extension, without drive and directory (either separator).
    size_t slash = sPath.find_last_of(u"\\/:");
    m_sTitle = slash == std::u16string::npos ? sPath : sPath.substr(slash + 1);
    m_sContentType = u"application/octet-stream";
    return true;
}

void TSMTPBodyPart::SetText(const std::u16string& sText) {
    TFunctionTrace trace(u"TSMTPBodyPart::SetText");
    // Every line break becomes CRLF: CRLF, a lone CR and a lone LF each count as one.
    std::u16string text;
    text.reserve(sText.size() + sText.size() / 16 + 2);
    for (size_t i = 0; i < sText.size(); ++i) {
        char16_t c = sText[i];
        if (c == u'\r') {
            if (i + 1 < sText.size() && sText[i + 1] == u'\n') ++i;
            text += u"\r\n";
        } else if (c == u'\n') {
            text += u"\r\n";
        } else {
            text.push_back(c);
        }
    }
    m_sText.swap(text);
    m_sContentType = u"text/plain";
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
    const std::u16string& P = m_pParentBodyPart->m_sBoundary;
    std::u16string CT = u"\r\nContent-Type: " + m_sContentType + u"; charset=" + m_sCharset;
    bool bChildren = !m_ChildBodyParts.empty();
    std::u16string header;
    if (!m_sFilename.empty()) {
        std::string encoded = HeaderEncode(m_sTitle, m_sCharset);
        std::u16string N(encoded.begin(), encoded.end());
        header = u"\r\n\r\n--" + P + CT + u"; name=\"" + N + u"\"";
        if (bChildren) header += u"; Boundary=\"" + m_sBoundary + u"\"";
        header += u"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + N +
                  u"\"\r\n";
    } else {
        header = u"\r\n--" + P + CT;
        if (bChildren) header += u"; Boundary=\"" + m_sBoundary + u"\"";
        header += u"\r\n";
        if (m_bBase64) {
            header += u"Content-Transfer-Encoding: base64\r\n";
        } else if (m_bQuotedPrintable) {
            header += u"Content-Transfer-Encoding: quoted-printable\r\n";
        }
    }
    if (!m_sContentBase.empty()) header += u"Content-Base: " + m_sContentBase + u"\r\n";
    if (!m_sContentID.empty()) header += u"Content-ID: " + m_sContentID + u"\r\n";
    if (!m_sContentLocation.empty()) header += u"Content-Location: " + m_sContentLocation + u"\r\n";
    header += u"\r\n";
    std::string utf8;
    strWideToAnsi(utf8, header.c_str(), static_cast<int>(header.size()), CP_UTF8, false);
    bResult = HandOut(utf8.data(), utf8.size(), pBuffer, dwSize);
    return bResult;
}

bool TSMTPBodyPart::GetBody(char*& pBuffer, DWORD& dwSize) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPBodyPart::GetBody");
    trace.Bind(&bResult);
    pBuffer = nullptr;
    dwSize = 0;
    if (!m_sFilename.empty()) {
        HANDLE hFile =
            platform::CreateFileW(m_sFilename.c_str(), platform::GENERIC_READ, 0, platform::OPEN_EXISTING,
                                  platform::FILE_ATTRIBUTE_NORMAL | platform::FILE_FLAG_SEQUENTIAL_SCAN);
        if (hFile == platform::INVALID_HANDLE_VALUE) return bResult;
        std::int64_t size = 0;
        if (!platform::GetFileSizeEx(hFile, &size)) {
            platform::CloseHandle(hFile);
            return bResult;
        }
        if (size == 0) {
            platform::CloseHandle(hFile);
            bResult = true;
            return bResult;
        }
        if (size > static_cast<std::int64_t>(m_dwMaxAttachmentSize)) {
            platform::SetLastError(ERROR_INVALID_PARAMETER);
            platform::CloseHandle(hFile);
            return bResult;
        }
        std::string run;
        {
            std::string bytes(static_cast<size_t>(size), '\0');
            DWORD read = 0;
            if (!platform::ReadFile(hFile, bytes.data(), static_cast<DWORD>(size), &read) ||
                read != static_cast<DWORD>(size)) {
                DWORD err = platform::GetLastError();
                platform::CloseHandle(hFile);
                platform::SetLastError(err != 0 ? err : ERROR_READ_FAULT);
                return bResult;
            }
            EncodeBase64(run, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        }  // the file bytes go before the lines are built: the peak stays near three times the file
        platform::CloseHandle(hFile);
        bResult = Base64Lines(run, pBuffer, dwSize);
        return bResult;
    }

    std::u16string charset = m_sCharset;
    to_lower(charset);
    unsigned codePage = charset == u"utf-8" ? CP_UTF8 : CP_ACP;
    std::string bytes;
    strWideToAnsi(bytes, m_sText.c_str(), static_cast<int>(m_sText.size()), codePage, false);
    if (m_bBase64) {
        std::string run;
        EncodeBase64(run, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        bResult = Base64Lines(run, pBuffer, dwSize);
        return bResult;
    }
    std::string body = m_bQuotedPrintable ? QuotedPrintableEncode(bytes) : bytes;
    MakeTransparent(body);
    bResult = HandOut(body.data(), body.size(), pBuffer, dwSize);
    return bResult;
}

bool TSMTPBodyPart::GetFooter(char*& pBuffer, DWORD& dwSize) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPBodyPart::GetFooter");
    trace.Bind(&bResult);
    std::u16string footer = u"\r\n--" + m_sBoundary + u"--";
    std::string utf8;
    strWideToAnsi(utf8, footer.c_str(), static_cast<int>(footer.size()), CP_UTF8, false);
    bResult = HandOut(utf8.data(), utf8.size(), pBuffer, dwSize);
    return bResult;
}

void TSMTPBodyPart::FreeHeader(char*& pBuffer) {
    delete[] pBuffer;
    pBuffer = nullptr;
}

void TSMTPBodyPart::FreeBody(char*& pBuffer) {
    delete[] pBuffer;
    pBuffer = nullptr;
}

void TSMTPBodyPart::FreeFooter(char*& pBuffer) {
    delete[] pBuffer;
    pBuffer = nullptr;
}
