// Commands out, replies in: sending a command line, reading a server reply and
// testing the capabilities an EHLO reply announces.
#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"
#include "transport/TSMTPSSLSocket.h"
#include "vxutil.h"

namespace {

// Largest single read of a reply.
constexpr int REPLY_CHUNK_SIZE = 64000;
// Most bytes one reply may hold: a server that sends more (an endless
// multi-line reply, one line that never ends) ends the session instead of
// growing the host's memory.
constexpr int MAX_REPLY_SIZE = 64 * 1024;

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// The lines of a reply text, without their line ends; a line not yet ended
// counts as the last one.
std::vector<std::u16string_view> ReplyLines(std::u16string_view sText) {
    std::vector<std::u16string_view> lines;
    std::size_t nStart = 0;
    while (nStart < sText.size()) {
        std::size_t nEnd = sText.find(u'\n', nStart);
        const std::size_t nNext = nEnd == std::u16string_view::npos ? sText.size() : nEnd + 1;
        if (nEnd == std::u16string_view::npos)
            nEnd = sText.size();
        if (nEnd > nStart && sText[nEnd - 1] == u'\r')
            --nEnd;
        lines.push_back(sText.substr(nStart, nEnd - nStart));
        nStart = nNext;
    }
    return lines;
}

bool IsContinuationLine(std::u16string_view line) {
    return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
           line[3] == u'-';
}

// A reply is complete when its text ends with a line end and that last line
// is not a continuation line ("250-..."): a multi-line reply may come in
// several TCP segments, and its last line is the one without the hyphen.
bool IsReplyComplete(const std::u16string& sText) {
    if (sText.empty() || sText.back() != u'\n')
        return false;
    return !IsContinuationLine(ReplyLines(sText).back());
}

// Where the first whole reply of the text ends (past its last line end),
// or npos while it is not whole: the replies to a pipelined group arrive
// together, and each one is taken alone.
std::size_t FirstReplyEnd(const std::u16string& sText) {
    std::size_t nStart = 0;
    while (nStart < sText.size()) {
        const std::size_t nEnd = sText.find(u'\n', nStart);
        if (nEnd == std::u16string::npos)
            return std::u16string::npos;
        std::u16string_view line(sText.data() + nStart, nEnd - nStart);
        if (!line.empty() && line.back() == u'\r')
            line.remove_suffix(1);
        if (!IsContinuationLine(line))
            return nEnd + 1;
        nStart = nEnd + 1;
    }
    return std::u16string::npos;
}

// Whether the reply carries the code, as RFC 5321 writes one: every line
// starts with it, the earlier ones followed by a hyphen, the last by a blank
// or nothing. A code anywhere else ("550 <bob250@example.org>") is no answer.
bool IsReplyWithCode(const std::u16string& sReply, const std::u16string& sCode) {
    const std::vector<std::u16string_view> lines = ReplyLines(sReply);
    if (lines.empty())
        return false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::u16string_view line = lines[i];
        if (line.substr(0, 3) != sCode)
            return false;
        const bool bLast = i + 1 == lines.size();
        if (bLast ? line.size() > 3 && line[3] != u' ' : !IsContinuationLine(line))
            return false;
    }
    return true;
}

std::u16string Decimal(int nValue) {
    const std::string s = std::to_string(nValue);
    return std::u16string(s.begin(), s.end());
}

// The name of a command in the texts of a timeout: its verb, never its
// arguments (the lines of a login carry credentials).
std::u16string CommandName(const std::string& sCommand, const std::u16string& sPrevious) {
    static const char* const verbs[] = {"HELO",    "EHLO", "STARTTLS", "AUTH", "MAIL FROM",
                                        "RCPT TO", "DATA", "QUIT",     "RSET"};
    for (const char* pszVerb : verbs) {
        const std::string_view verb(pszVerb);
        if (sCommand.compare(0, verb.size(), verb) == 0)
            return std::u16string(verb.begin(), verb.end());
    }
    if (sCommand == "\r\n.\r\n")
        return u"the end of the data";
    // A line of a login answers the server's challenge: still the AUTH step.
    return sPrevious.empty() ? u"the command" : sPrevious;
}

}  // namespace

void TSMTPConnection::SendCommand(const std::u16string& sCommand) {
    std::string sBytes;
    if (!strWideToAnsi(sBytes, sCommand.c_str(), static_cast<int>(sCommand.size()), CP_UTF8, false))
        throw std::bad_alloc();
    SendCommand(sBytes);
}

void TSMTPConnection::SendCommand(const std::string& sCommand) {
    m_strCommand = CommandName(sCommand, m_strCommand);
    // The result is not examined: a lost connection shows in the reply.
    SendBytes(sCommand.data(), sCommand.size(), u"sending " + m_strCommand);
}

void TSMTPConnection::SendBytes(const char* pData, std::size_t nSize, const std::u16string& sStep) {
    m_pSocket->SetDeadline(m_dwTimeout, sStep);
    try {
        m_pSocket->Send(pData, static_cast<unsigned>(nSize));
    } catch (const TSMTPException&) {
        m_bBroken = true;
        // Only a server that is gone refuses bytes before the time is up.
        m_bServerClosed = platform::GetLastError() != WSAETIMEDOUT;
        throw;
    }
}

int TSMTPConnection::ReceiveChunk(char* pBuffer, int nCapacity, int nExpectedCode,
                                  std::u16string& sRead) {
    // Only the bytes received are read back, up to the NUL put behind them:
    // the rest of the buffer needs no clearing.
    int nReceived = 0;
    try {
        nReceived = m_pSocket->Receive(pBuffer, static_cast<unsigned>(nCapacity));
    } catch (const TSMTPException&) {
        m_bBroken = true;
        throw;
    }
    if (nReceived < 0)
        nReceived = 0;
    pBuffer[nReceived] = '\0';
    // Replies are read in the system's ANSI code page, as servers write them.
    std::u16string sText;
    strAnsiToWide(sText, pBuffer, nReceived, CP_ACP, false);
    if (dbgout_on() > 1)
        DiagPrint(u"***R***%s***(%d)\n", sText.c_str(), nExpectedCode);
    sRead += sText;
    return nReceived;
}

bool TSMTPConnection::ReadCommandResponse(int nExpectedCode, std::u16string& sResponse) {
    return ReadReply(nExpectedCode, sResponse, m_dwTimeout);
}

bool TSMTPConnection::ReadReply(int nExpectedCode, std::u16string& sResponse, DWORD dwTimeout) {
    bool bResult = false;
    TFunctionTrace trace(u"TSMTPConnection::ReadCommandResponse");
    trace.Bind(&bResult);
    try {
        DiagPrint(u"cmd %d", nExpectedCode);
        if (!HasSocket())
            throw TSMTPException(3, u"Socked not created!");
        // The whole reply must be here in time, however slowly its bytes come.
        m_pSocket->SetDeadline(dwTimeout, m_strCommand.empty()
                                              ? std::u16string(u"no greeting from the server")
                                              : u"no complete reply to " + m_strCommand);
        std::u16string sRead;  // what this call has read
        if (m_bSplitReplies)
            sRead.swap(m_strPendingReplies);
        const bool bWhole = m_bSplitReplies && FirstReplyEnd(sRead) != std::u16string::npos;
        bool bReadable = bWhole;
        try {
            if (!bWhole)
                bReadable = m_pSocket->IsReadable(m_pSocket->RemainingMs());
        } catch (const TSMTPException&) {
            m_bBroken = true;
            throw;
        }
        if (!bReadable) {
            m_bBroken = true;
            m_pSocket->ThrowTimedOut();
        }

        if (!m_pReplyBuffer) {
            m_pReplyBuffer.reset(new char[REPLY_CHUNK_SIZE + 1]);
        }
        int nTotal = static_cast<int>(sRead.size());
        while (!bWhole) {
            // One byte more than a reply may hold tells a reply that is too long.
            const int nCapacity = std::min(REPLY_CHUNK_SIZE, MAX_REPLY_SIZE + 1 - nTotal);
            const int nReceived =
                ReceiveChunk(m_pReplyBuffer.get(), nCapacity, nExpectedCode, sRead);
            if (nReceived == 0) {
                // The server closed the connection (or reset it) before its
                // reply was whole: say so, and name the command it left.
                m_bBroken = true;
                m_bServerClosed = true;
                platform::SetLastError(WSAECONNRESET);
                if (m_strCommand.empty())
                    throw TSMTPException(3,
                                         u"The server closed the connection without a greeting.");
                throw TSMTPException(3, u"The server closed the connection after %s.",
                                     m_strCommand.c_str());
            }
            nTotal += nReceived;
            if (nTotal > MAX_REPLY_SIZE) {
                m_bBroken = true;
                platform::SetLastError(0);
                throw TSMTPException(3, u"The server's reply is too long.");
            }
            if (m_bSplitReplies ? FirstReplyEnd(sRead) != std::u16string::npos
                                : IsReplyComplete(sRead))
                break;
        }
        if (m_bSplitReplies) {
            const std::size_t nEnd = FirstReplyEnd(sRead);
            m_strPendingReplies = sRead.substr(nEnd);
            sRead.resize(nEnd);
        }
        sResponse += sRead;
        bResult = IsReplyWithCode(sRead, Decimal(nExpectedCode));
        if (!bResult)
            NoteUnexpectedReply(sRead);
        // The reply arrived: whatever failed before it has nothing to do
        // with a refusal the caller may now report.
        platform::SetLastError(0);
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        throw;
    }
    return bResult;
}

void TSMTPConnection::NoteUnexpectedReply(const std::u16string& sReply) {
    const std::u16string sCode = sReply.substr(0, 3);
    if (sCode == u"421") {
        m_bServerClosed = true;
        return;
    }
    const bool bRefusal = sCode.size() == 3 && (sCode[0] == u'4' || sCode[0] == u'5') &&
                          IsDigit(sCode[1]) && IsDigit(sCode[2]);
    if (!bRefusal || !IsReplyWithCode(sReply, sCode))
        m_bInDoubt = true;
}

bool TSMTPConnection::OffersExtension(const std::u16string& sReply,
                                      const std::u16string& sKeyword) {
    // After the first line (the server's name), one extension a line: its
    // keyword, then its parameters after a blank.
    const std::vector<std::u16string_view> lines = ReplyLines(sReply);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::u16string_view line = lines[i];
        if (line.size() <= 4 || line.substr(0, 3) != u"250")
            continue;
        const std::u16string_view keyword = line.substr(4, line.find(u' ', 4) - 4);
        if (keyword.size() == sKeyword.size() &&
            std::equal(keyword.begin(), keyword.end(), sKeyword.begin(),
                       [](char16_t a, char16_t b) {
                           return (a >= u'a' && a <= u'z' ? a - 32 : a) ==
                                  (b >= u'a' && b <= u'z' ? b - 32 : b);
                       }))
            return true;
    }
    return false;
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
