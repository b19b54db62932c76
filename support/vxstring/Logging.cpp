// The logging library: every record goes to the hook a test installed, to the
// file named by VX_LOG_FILE and, when VX_LOG_STDERR is set, to standard error
// (both read at the first record and whenever a hook is set or removed).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Where records go besides the hook: the file named by VX_LOG_FILE and, when
// VX_LOG_STDERR is set, standard error. Records are many and most runs have
// neither, so the environment is read once, at the first record, and again
// whenever a hook is set or removed.
struct Outputs {
    bool bRead = false;
    std::string file;
    bool toStderr = false;
};
Outputs g_outputs;
// Whether anything takes records, known without the lock once the outputs
// are read: 0 not yet read, 1 nothing does, 2 something does.
std::atomic<int> g_listening{0};

void ReadOutputs() {
    const char* path = std::getenv("VX_LOG_FILE");
    g_outputs.file = path != nullptr ? path : "";
    const char* toStderr = std::getenv("VX_LOG_STDERR");
    g_outputs.toStderr = toStderr != nullptr && *toStderr != '\0' && std::string(toStderr) != "0";
    g_outputs.bRead = true;
    const bool listening = g_hook != nullptr || !g_outputs.file.empty() || g_outputs.toStderr;
    g_listening.store(listening ? 2 : 1, std::memory_order_release);
}

std::u16string Text(const char16_t* s) {
    return s == nullptr ? std::u16string() : std::u16string(s);
}

// The record is made only when something takes it. Logging never fails its
// caller: a record that cannot be made (no memory) is dropped, and no
// exception leaves the library, which carries its own C++ runtime.
template <typename MakeMessage>
void Deliver(int type, int level, MakeMessage makeMessage, const char16_t* action,
             const char16_t* function) noexcept try {
    if (g_listening.load(std::memory_order_acquire) == 1)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_outputs.bRead)
        ReadOutputs();
    const Outputs& outputs = g_outputs;
    if (g_hook == nullptr && outputs.file.empty() && !outputs.toStderr)
        return;
    const Logging::LogRecord record{type, level, makeMessage(), Text(action), Text(function)};
    if (g_hook != nullptr)
        g_hook(record, g_hookContext);
    if (!outputs.file.empty()) {
        if (FILE* f = std::fopen(outputs.file.c_str(), "a")) {
            WriteRecord(f, record);
            std::fclose(f);
        }
    }
    if (outputs.toStderr)
        WriteRecord(stderr, record);
} catch (...) {
}

}  // namespace

namespace Logging {

int WriteLog(VXSESSION* /*session*/, LogType type, LogLevel level, const char16_t* message,
             const char16_t* action, const char16_t* function) {
    Deliver(
        type, level, [message] { return Text(message); }, action, function);
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
    Deliver(
        type, level,
        [&] {
            va_list copy;
            va_copy(copy, args);
            std::u16string text = platform::WFormatV(format, copy);
            va_end(copy);
            return text;
        },
        action, function);
    return 0;
}

void SetLogHook(LogHook hook, void* context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hook = hook;
    g_hookContext = context;
    ReadOutputs();
}

}  // namespace Logging
