#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "mailapi.h"
#include "platform/Utf.h"
#include "vxstring.h"

class LogCapture {
public:
    LogCapture();  // not copied: its mutex is not
    ~LogCapture();

    std::vector<Logging::LogRecord> Records() const;
    bool Contains(const std::u16string& text) const;  // in some record's message
    std::string Dump() const;                         // every record, for failure output
    void Clear();

private:
    static void Hook(const Logging::LogRecord& record, void* context);
    mutable std::mutex m_mutex;
    std::vector<Logging::LogRecord> m_records;
};

// A host's log interface that records every call of slots 4 and 5.
class CapturingLogProvider : public ILogProvider {
public:
    struct Entry {
        bool bWriteLog;  // slot 4 (WriteLog) or slot 5 (WriteMessage)
        int type;
        int level;
        std::u16string message;
        std::u16string function;
    };
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
    // Some message contains the text (at that level, unless -1).
    bool Contains(const std::u16string& text, int level = -1) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

inline std::string ToUtf8(const std::u16string& text) {
    return platform::Utf16ToUtf8(text);
}
inline std::u16string FromUtf8(const std::string& text) {
    return platform::Utf8ToUtf16(text);
}
