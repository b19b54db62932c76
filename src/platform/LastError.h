// The thread's last error, with the meaning of GetLastError and SetLastError.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

#if defined(_WIN32)

using ::GetLastError;
using ::SetLastError;

#else

DWORD GetLastError();
void SetLastError(DWORD dwError);

// Maps an errno value of the C library onto the Win32 error it stands for.
DWORD Win32ErrorFromErrno(int err);

#endif

}  // namespace platform
