// An ILogProvider for tests that records every call of slots 4 and 5.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "mailapi.h"

class CapturingLogProvider : public ILogProvider {
public:
    struct Entry {
        bool bWriteLog;  // slot 4 (WriteLog) or slot 5 (WriteMessage)
        int type;
        int level;
        std::u16string message;
        std::u16string function;
    };

    CapturingLogProvider() = default;
    virtual ~CapturingLogProvider() = default;

    long MAILCALL Slot0() override { return 0; }
    long MAILCALL Slot1() override { return 0; }
    long MAILCALL Slot2() override { return 0; }
    long MAILCALL Slot3() override { return 0; }
    long MAILCALL WriteLog(void* session, int type, int level, const MAILWCHAR* message,
                           const MAILWCHAR* action, const MAILWCHAR* function) override;
    long MAILCALL WriteMessage(void* session, int type, int level,
                               const MAILWCHAR* message) override;

    std::vector<Entry> Entries() const;
    bool Contains(const std::u16string& text, int level = -1) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};
