// vxstring: the host product's logging library and memory allocator, as the
// provider calls them. Our stand-in writes each record to the file named by
// VX_LOG_FILE, or to standard error when VX_LOG_STDERR is set, and lets tests
// capture records through SetLogHook.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#if defined(_WIN32)
#if defined(VXSTRING_BUILD)
#define VXSTRING_API __declspec(dllexport)
#else
#define VXSTRING_API __declspec(dllimport)
#endif
#else
#define VXSTRING_API __attribute__((visibility("default")))
#endif

struct VXSESSION;  // a log session; null is the library's default session
using LogType = int;
using LogLevel = int;

namespace Logging {

VXSTRING_API int WriteLog(VXSESSION* session, LogType type, LogLevel level, const char16_t* message,
                          const char16_t* action, const char16_t* function);
VXSTRING_API int WriteVarLog(VXSESSION* session, LogType type, LogLevel level,
                             const char16_t* format, const char16_t* action,
                             const char16_t* function, ...);
VXSTRING_API int WriteVarLog2(VXSESSION* session, LogType type, LogLevel level,
                              const char16_t* format, const char16_t* action,
                              const char16_t* function, va_list args);

// One record as the sink receives it.
struct LogRecord {
    LogType type;
    LogLevel level;
    std::u16string message;
    std::u16string action;    // empty when the caller passed null
    std::u16string function;  // empty when the caller passed null
};
using LogHook = void (*)(const LogRecord& record, void* context);
// Installs (or, with null, removes) a hook that sees every record. The
// outputs named by VX_LOG_FILE and VX_LOG_STDERR are read at the first record
// and again here.
VXSTRING_API void SetLogHook(LogHook hook, void* context);

}  // namespace Logging

VXSTRING_API void* GetMemory(size_t size);
VXSTRING_API void* ReallocMemory(void* block, size_t size);
VXSTRING_API void FreeMemory(void* block);
