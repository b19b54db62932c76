// The logging library: every record goes to the hook a test installed, to the
// file named by VX_LOG_FILE and, when VX_LOG_STDERR is set, to standard error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/Utf.h"
#include "platform/WideFormat.h"
#include "vxstring.h"

namespace {

std::mutex g_mutex;
Logging::LogHook g_hook = nullptr;
void* g_hookContext = nullptr;

std::string ToUtf8(const std::u16string& s) {
    return platform::Utf16ToUtf8(s);
}

std::string Timestamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tmLocal{};
#if defined(_WIN32)
    localtime_s(&tmLocal, &t);
#else
    localtime_r(&t, &tmLocal);
#endif
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                  tmLocal.tm_year + 1900, tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour,
                  tmLocal.tm_min, tmLocal.tm_sec, static_cast<int>(ms));
    return buffer;
}

void WriteRecord(FILE* f, const Logging::LogRecord& r) {
    std::fprintf(f, "%s [level %d, type %d] %s%s%s%s%s\n", Timestamp().c_str(), r.level, r.type,
                 ToUtf8(r.function).c_str(), r.function.empty() ? "" : " ",
                 ToUtf8(r.action).c_str(), r.action.empty() ? "" : ": ", ToUtf8(r.message).c_str());
}

void Deliver(const Logging::LogRecord& record) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_hook != nullptr)
        g_hook(record, g_hookContext);
    const char* path = std::getenv("VX_LOG_FILE");
    if (path != nullptr && *path != '\0') {
        if (FILE* f = std::fopen(path, "a")) {
            WriteRecord(f, record);
            std::fclose(f);
        }
    }
    const char* toStderr = std::getenv("VX_LOG_STDERR");
    if (toStderr != nullptr && *toStderr != '\0' && std::string(toStderr) != "0")
        WriteRecord(stderr, record);
}

std::u16string Text(const char16_t* s) {
    return s == nullptr ? std::u16string() : std::u16string(s);
}

}  // namespace

namespace Logging {

int WriteLog(VXSESSION* /*session*/, LogType type, LogLevel level, const char16_t* message,
             const char16_t* action, const char16_t* function) {
    Deliver(LogRecord{type, level, Text(message), Text(action), Text(function)});
    return 0;
}

int WriteVarLog(VXSESSION* session, LogType type, LogLevel level, const char16_t* format,
                const char16_t* action, const char16_t* function, ...) {
    va_list ap;
    va_start(ap, function);
    int result = WriteVarLog2(session, type, level, format, action, function, ap);
    va_end(ap);
    return result;
}

int WriteVarLog2(VXSESSION* /*session*/, LogType type, LogLevel level, const char16_t* format,
                 const char16_t* action, const char16_t* function, va_list args) {
    Deliver(LogRecord{type, level, platform::WFormatV(format, args), Text(action), Text(function)});
    return 0;
}

void SetLogHook(LogHook hook, void* context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hook = hook;
    g_hookContext = context;
}

}  // namespace Logging
