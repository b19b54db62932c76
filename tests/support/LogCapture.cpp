#include "LogCapture.h"

#include <algorithm>

LogCapture::LogCapture() {
    Logging::SetLogHook(&LogCapture::Hook, this);
}

LogCapture::~LogCapture() {
    Logging::SetLogHook(nullptr, nullptr);
}

void LogCapture::Hook(const Logging::LogRecord& record, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_records.push_back(record);
}

std::vector<Logging::LogRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

bool LogCapture::Contains(const std::u16string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_records.begin(), m_records.end(),
                       [&](const auto& r) { return r.message.find(text) != std::u16string::npos; });
}

std::string LogCapture::Dump() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const auto& r : m_records)
        out += ToUtf8(r.function) + " " + ToUtf8(r.action) + ": " + ToUtf8(r.message) + "\n";
    return out;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

namespace {

std::u16string Text(const MAILWCHAR* s) {
    return s == nullptr ? std::u16string()
                        : std::u16string(s, s + std::char_traits<MAILWCHAR>::length(s));
}

}  // namespace

long MAILCALL CapturingLogProvider::WriteLog(void*, int type, int level, const MAILWCHAR* message,
                                             const MAILWCHAR*, const MAILWCHAR* function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(Entry{true, type, level, Text(message), Text(function)});
    return 0;
}

long MAILCALL CapturingLogProvider::WriteMessage(void*, int type, int level,
                                                 const MAILWCHAR* message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(Entry{false, type, level, Text(message), u""});
    return 0;
}

std::vector<CapturingLogProvider::Entry> CapturingLogProvider::Entries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

bool CapturingLogProvider::Contains(const std::u16string& text, int level) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
        return e.message.find(text) != std::u16string::npos && (level < 0 || e.level == level);
    });
}

void CapturingLogProvider::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}
