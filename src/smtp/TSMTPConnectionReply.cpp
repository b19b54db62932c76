// Commands out, replies in: sending a command line, reading a server reply and
// testing the capabilities an EHLO reply announces.
#include <algorithm>
#include <string>
#include <vector>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"
#include "vxutil.h"

namespace {

// Largest single read of a reply.
constexpr int REPLY_CHUNK_SIZE = 64000;

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// A reply is complete when its text ends with a line end and that last line
// is not a continuation line ("250-..."): a multi-line reply may come in
// several TCP segments, and its last line is the one without the hyphen.
bool IsReplyComplete(const std::u16string& sText) {
    if (sText.empty() || sText.back() != u'\n') {
        return false;
    }
    const std::size_t nLast = sText.size() - 1;
    const std::size_t nBreak = nLast == 0 ? std::u16string::npos : sText.rfind(u'\n', nLast - 1);
    const std::size_t nStart = nBreak == std::u16string::npos ? 0 : nBreak + 1;
    const std::u16string_view line(sText.data() + nStart, nLast - nStart);
    const bool bContinuation = line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) &&
                               IsDigit(line[2]) && line[3] == u'-';
    return !bContinuation;
}

std::u16string Decimal(int nValue) {
    const std::string s = std::to_string(nValue);
    return std::u16string(s.begin(), s.end());
}

}  // namespace

void TSMTPConnection::SendCommand(const std::u16string& sCommand) {
    std::string sBytes;
    strWideToAnsi(sBytes, sCommand.c_str(), static_cast<int>(sCommand.size()), CP_UTF8, false);
    SendCommand(sBytes);
}

void TSMTPConnection::SendCommand(const std::string& sCommand) {
    // The result is not examined: a lost connection shows in the reply.
    m_pSocket->Send(sCommand.data(), static_cast<unsigned>(sCommand.size()));
}

int TSMTPConnection::ReceiveChunk(char* pBuffer, int nExpectedCode, std::u16string& sRead,
                                  std::u16string& sResponse) {
    std::fill(pBuffer, pBuffer + REPLY_CHUNK_SIZE + 1, '\0');
    int nReceived = m_pSocket->Receive(pBuffer, REPLY_CHUNK_SIZE);
    if (nReceived < 0) {
        nReceived = 0;
    }
    pBuffer[nReceived] = '\0';
    // Replies are read in the system's ANSI code page, as servers write them.
    std::u16string sText;
    strAnsiToWide(sText, pBuffer, nReceived, CP_ACP, false);
    if (dbgout_on() > 1) {
        DiagPrint(u"***R***%s***(%d)\n", sText.c_str(), nExpectedCode);
    }
    sRead += sText;
    sResponse += sText;
    return nReceived;
}

bool TSMTPConnection::ReadCommandResponse(int nExpectedCode, std::u16string& sResponse) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPConnection::ReadCommandResponse");
    trace.Bind(&bResult);
    try {
        DiagPrint(u"cmd %d", nExpectedCode);
        if (!HasSocket()) {
            throw TSMTPException(3, u"Socked not created!");
        }
        if (!m_pSocket->IsReadable(m_dwTimeout)) {
            throw TSMTPException(3, u"Cannot read data from specified socket!");
        }

        std::vector<char> buffer(REPLY_CHUNK_SIZE + 1);
        std::u16string sRead;  // what this call has read
        int nReceived = 0;
        do {
            nReceived = ReceiveChunk(buffer.data(), nExpectedCode, sRead, sResponse);
        } while (nReceived == REPLY_CHUNK_SIZE);

        // Read until the reply's last line: its further lines may still be on
        // the way. Stop when the peer closed or nothing more comes in time;
        // the reply is then what has arrived.
        while (nReceived > 0 && !IsReplyComplete(sRead)) {
            if (!m_pSocket->IsReadable(m_dwTimeout)) {
                break;
            }
            do {
                nReceived = ReceiveChunk(buffer.data(), nExpectedCode, sRead, sResponse);
            } while (nReceived == REPLY_CHUNK_SIZE);
        }

        // Any occurrence of the code counts, wherever it stands in the text.
        bResult = sResponse.find(Decimal(nExpectedCode)) != std::u16string::npos;
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
    return bResult;
}

bool TSMTPConnection::CheckResponse(std::u16string sResponse, int nCode, std::u16string sKeyword,
                                    std::u16string sValue) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPConnection::CheckResponse");
    trace.Bind(&bResult);
    try {
        const std::u16string sCode = Decimal(nCode);
        for (const char16_t* pszSeparator : {u"-", u" "}) {
            const std::u16string sPattern =
                sKeyword.empty() ? sCode : sCode + pszSeparator + sKeyword;
            const std::size_t nPos = sResponse.find(sPattern);
            if (nPos == std::u16string::npos) {
                continue;
            }
            if (!sValue.empty()) {
                const std::size_t nEnd = sResponse.find_first_of(u"\r\n", nPos);
                if (nEnd != std::u16string::npos) {
                    const std::u16string sLine = sResponse.substr(nPos, nEnd - nPos);
                    if (sLine.find(sValue) == std::u16string::npos) {
                        throw TSMTPException(4, u"False command response!");
                    }
                }
            }
            bResult = true;
            break;
        }
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
    return bResult;
}
