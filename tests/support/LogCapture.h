// Captures the records the logging library receives while it lives, so that
// tests can check trace, detail and diagnostic lines.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "vxstring.h"

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Logging::LogRecord> Records() const;
    // True when some record's message contains the text.
    bool Contains(const std::u16string& text) const;
    // The messages of all records, one per line, as UTF-8 (for failure output).
    std::string Dump() const;
    void Clear();

private:
    static void Hook(const Logging::LogRecord& record, void* context);
    mutable std::mutex m_mutex;
    std::vector<Logging::LogRecord> m_records;
};

std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);
