#include "TerminalLog.h"

#include <string>

#include "HostText.h"

namespace sendtool {

const char* TerminalLog::LevelName(int level) {
    switch (level) {
        case 0:
            return "emergency";
        case 1:
            return "alert";
        case 2:
            return "critical";
        case 3:
            return "error";
        case 4:
            return "warning";
        case 5:
            return "notice";
        case 6:
            return "progress";
        case 7:
            return "debug";
        default:
            return "level";
    }
}

void TerminalLog::Print(int level, const MAILWCHAR* function, const MAILWCHAR* message) {
    ++m_nRecords;
    std::string text = hosttext::ToUtf8(message);
    // Exception texts end with a line feed; the terminal line gets its own.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::string prefix = std::string("[") + LevelName(level) + " " + std::to_string(level) + "] ";
    std::string where = hosttext::ToUtf8(function);
    if (!where.empty())
        prefix += where + ": ";
    // Continuation lines are indented under the first one.
    std::string line;
    line.reserve(prefix.size() + text.size() + 1);
    line += prefix;
    for (char c : text) {
        line += c;
        if (c == '\n')
            line.append(4, ' ');
    }
    line += '\n';
    std::fputs(line.c_str(), m_out);
    std::fflush(m_out);
}

long MAILCALL TerminalLog::WriteLog(void* /*session*/, int /*type*/, int level,
                                    const MAILWCHAR* message, const MAILWCHAR* /*action*/,
                                    const MAILWCHAR* function) {
    Print(level, function, message);
    return 0;
}

long MAILCALL TerminalLog::WriteMessage(void* /*session*/, int /*type*/, int level,
                                        const MAILWCHAR* message) {
    Print(level, nullptr, message);
    return 0;
}

}  // namespace sendtool
