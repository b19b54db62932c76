#include "SmtpReplyReader.h"

#include "RelayError.h"

namespace oauthrelay {

namespace {

// RFC 5321 allows 512 octets per reply line; servers send longer ones, but a
// reply past this size is a server gone wrong.
constexpr size_t kMaxReply = 64 * 1024;

std::string Printable(std::string_view line) {
    std::string out;
    for (char c : line.substr(0, 200)) {
        const auto b = static_cast<unsigned char>(c);
        out += (b < 32 || b == 127) ? '?' : c;
    }
    return out;
}

}  // namespace

std::string SmtpReply::Text() const {
    std::string out;
    for (const std::string& line : Lines) {
        if (!out.empty()) {
            out += ' ';
        }
        out += line;
    }
    return out;
}

void SmtpReplyReader::Feed(std::string_view data) {
    size_t pos = 0;
    while (pos < data.size()) {
        const size_t lf = data.find('\n', pos);
        if (lf == std::string_view::npos) {
            m_strPartial.append(data.substr(pos));
            if (m_strPartial.size() + m_nCurrentSize > kMaxReply) {
                throw RelayError("The mail server sent a reply of more than 64 KiB.");
            }
            return;
        }
        m_strPartial.append(data.substr(pos, lf - pos));
        pos = lf + 1;
        std::string line;
        line.swap(m_strPartial);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        TakeLine(std::move(line));
    }
}

void SmtpReplyReader::TakeLine(std::string line) {
    const bool digits = line.size() >= 3 && line[0] >= '2' && line[0] <= '5' && line[1] >= '0' &&
                        line[1] <= '9' && line[2] >= '0' && line[2] <= '9';
    const bool more = digits && line.size() > 3 && line[3] == '-';
    if (!digits || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        throw RelayError("The mail server sent a line that is not an SMTP reply: \"" +
                         Printable(line) + "\"");
    }
    m_nCurrentSize += line.size();
    if (m_nCurrentSize > kMaxReply) {
        throw RelayError("The mail server sent a reply of more than 64 KiB.");
    }
    m_Current.nCode = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    m_Current.Lines.push_back(std::move(line));
    if (!more) {
        m_Ready.push_back(std::move(m_Current));
        m_Current = SmtpReply();
        m_nCurrentSize = 0;
    }
}

bool SmtpReplyReader::Next(SmtpReply& reply) {
    if (m_Ready.empty()) {
        return false;
    }
    reply = std::move(m_Ready.front());
    m_Ready.pop_front();
    return true;
}

}  // namespace oauthrelay
