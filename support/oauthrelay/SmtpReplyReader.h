// Splits the bytes a mail server sends into SMTP replies (RFC 5321 section
// 4.2): lines of three digits followed by "-" (more lines follow) or a blank
// (last line) and text.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace oauthrelay {

struct SmtpReply {
    int nCode = 0;
    std::vector<std::string> Lines;  // as received, without the line ends

    // The lines joined with blanks, for error texts.
    std::string Text() const;
    bool IsPositive() const { return nCode >= 200 && nCode < 300; }
};

class SmtpReplyReader {
public:
    // Adds received bytes; complete replies become available through Next.
    // Throws RelayError for a line that is no reply line and for a reply that
    // grows past any sensible size.
    void Feed(std::string_view data);

    // Takes the oldest complete reply.
    bool Next(SmtpReply& reply);

private:
    std::string m_strPartial;  // an unfinished line
    SmtpReply m_Current;       // lines of an unfinished multi-line reply
    size_t m_nCurrentSize = 0;
    std::deque<SmtpReply> m_Ready;

    void TakeLine(std::string line);
};

}  // namespace oauthrelay
