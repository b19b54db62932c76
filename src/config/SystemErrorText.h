// The system's text for a Win32 error, without its final line break and the
// character before it (normally the full stop); the code in decimal when the
// system has no text.
#pragma once

#include <string>

#include "platform/WinTypes.h"

std::u16string SystemErrorText(DWORD dwError);
