// The host's log interface (ILogProvider). Each provider handle keeps the one
// its initialisation passed, and a call on the handle makes it the calling
// thread's for the call (THostLogScope), so that every class writes through
// it: a handle's records reach its own provider only, from any thread, and
// none reach it after the handle is gone. Records written outside a call on
// a handle go nowhere. Nothing is written while it is null; results are
// ignored.
#pragma once

struct ILogProvider;

// The calling thread's provider, until it sets another or a scope ends.
void SetHostLogProvider(ILogProvider* provider);
ILogProvider* GetHostLogProvider();

// Makes a handle's provider the calling thread's for one call, and puts the
// one before it back (a host's provider may itself call another handle).
class THostLogScope {
public:
    explicit THostLogScope(ILogProvider* provider);
    ~THostLogScope();
    THostLogScope(const THostLogScope&) = delete;
    THostLogScope& operator=(const THostLogScope&) = delete;

private:
    ILogProvider* m_pPrevious;
};

// ILogProvider::WriteMessage (slot 5): null session, type 10, the level, the text.
void HostLogMessage(int level, const char16_t* text);
// ILogProvider::WriteLog (slot 4): null session, type 10, the level, the text,
// null action, the function name.
void HostLogWrite(int level, const char16_t* text, const char16_t* function);

// Level of warnings of the SMTP and MIME classes.
constexpr int HOSTLOG_WARNING = 4;
// Level of progress notes of the send operation.
constexpr int HOSTLOG_PROGRESS = 6;
