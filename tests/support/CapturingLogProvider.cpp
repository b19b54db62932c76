#include "CapturingLogProvider.h"

namespace {
std::u16string Text(const MAILWCHAR* s) {
    return s == nullptr ? std::u16string()
                        : std::u16string(s, s + std::char_traits<MAILWCHAR>::length(s));
}
}  // namespace

long MAILCALL CapturingLogProvider::WriteLog(void* /*session*/, int type, int level,
                                             const MAILWCHAR* message, const MAILWCHAR* /*action*/,
                                             const MAILWCHAR* function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(Entry{true, type, level, Text(message), Text(function)});
    return 0;
}

long MAILCALL CapturingLogProvider::WriteMessage(void* /*session*/, int type, int level,
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
    for (const auto& e : m_entries) {
        if (e.message.find(text) != std::u16string::npos && (level < 0 || e.level == level))
            return true;
    }
    return false;
}

void CapturingLogProvider::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}
