// Opening a file to read it, as every reader of the POSIX backend does: a
// FIFO, socket or device is refused instead of opened, so that nobody can make
// the host wait forever by naming one.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace platform {

// The descriptor of the regular file at path, opened for reading; -1 with
// *pdwError set to the Win32 code otherwise (ERROR_ACCESS_DENIED for anything
// that is not a regular file).
int OpenRegularFileForReading(const std::string& path, DWORD* pdwError);

}  // namespace platform
