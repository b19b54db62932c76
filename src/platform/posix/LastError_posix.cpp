#include "platform/LastError.h"

#include <cerrno>

namespace platform {

namespace {
thread_local DWORD t_dwLastError = 0;
}

DWORD GetLastError() {
    return t_dwLastError;
}

void SetLastError(DWORD dwError) {
    t_dwLastError = dwError;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_SHARING_VIOLATION;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EIO:
            return ERROR_READ_FAULT;
        default:
            return ERROR_INVALID_DATA;
    }
}

}  // namespace platform
