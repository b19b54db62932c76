// The host's log interface (ILogProvider of the latest initialisation), kept
// process-wide so that every class can write warnings through it. Nothing is
// written while it is null; results are ignored.
#pragma once

struct ILogProvider;

void SetHostLogProvider(ILogProvider* provider);
ILogProvider* GetHostLogProvider();

// ILogProvider::WriteMessage (slot 5): null session, type 10, the level, the text.
void HostLogMessage(int level, const char16_t* text);
// ILogProvider::WriteLog (slot 4): null session, type 10, the level, the text,
// null action, the function name.
void HostLogWrite(int level, const char16_t* text, const char16_t* function);

// Level of warnings of the SMTP and MIME classes.
constexpr int HOSTLOG_WARNING = 4;
// Level of progress notes of the send operation.
constexpr int HOSTLOG_PROGRESS = 6;
