// The host's logging interface, printed to the terminal: one line per record
// with its log level, so that the provider's warnings and progress notes are
// visible while a message goes out.
#pragma once

#include <cstdio>

#include "mailapi.h"

namespace sendtool {

class TerminalLog final : public ILogProvider {
public:
    explicit TerminalLog(std::FILE* out) : m_out(out) {}
    TerminalLog(const TerminalLog&) = delete;
    TerminalLog& operator=(const TerminalLog&) = delete;
    virtual ~TerminalLog() = default;

    // Slots 0 to 3 belong to the host's own use; the provider never calls them.
    long MAILCALL Slot0() override { return 0; }
    long MAILCALL Slot1() override { return 0; }
    long MAILCALL Slot2() override { return 0; }
    long MAILCALL Slot3() override { return 0; }
    long MAILCALL WriteLog(void* session, int type, int level, const MAILWCHAR* message,
                           const MAILWCHAR* action, const MAILWCHAR* function) override;
    long MAILCALL WriteMessage(void* session, int type, int level,
                               const MAILWCHAR* message) override;

    int Records() const { return m_nRecords; }

    // Name shown for a log level: 3 error, 4 warning, 6 progress, ...
    static const char* LevelName(int level);

private:
    void Print(int level, const MAILWCHAR* function, const MAILWCHAR* message);

    std::FILE* m_out;
    int m_nRecords = 0;
};

}  // namespace sendtool
