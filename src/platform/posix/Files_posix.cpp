#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf.h"
#include "platform/posix/RegularFile_posix.h"

const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0));

namespace platform {

namespace {

struct FileObject {
    int fd;
};

// Windows tells a missing directory (3) from a missing file (2).
DWORD OpenError(int err, const std::string& path) {
    if (err == ENOENT) {
        size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            struct stat st {};
            if (::stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    return Win32ErrorFromErrno(err);
}

FileObject* ObjectOf(HANDLE h) {
    return (h == nullptr || h == INVALID_HANDLE_VALUE) ? nullptr : static_cast<FileObject*>(h);
}

}  // namespace

std::string NativePath(const char16_t* path) {
    return path == nullptr ? std::string() : Utf16ToUtf8(path);
}

HANDLE CreateFileW(const char16_t* path, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, DWORD /*flagsAndAttributes*/) {
    if (path == nullptr || *path == 0) {
        SetLastError(path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string native = NativePath(path);
    bool read = (desiredAccess & GENERIC_READ) != 0;
    bool write = (desiredAccess & GENERIC_WRITE) != 0;
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    switch (creationDisposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case OPEN_EXISTING:
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    bool regular = true;
    if (!write && creationDisposition == OPEN_EXISTING) {
        // What the library reads must be a regular file: a FIFO or a device
        // would hold the host's thread.
        DWORD dwError = 0;
        fd = OpenRegularFileForReading(native, &dwError);
        if (fd < 0) {
            SetLastError(dwError == ERROR_FILE_NOT_FOUND ? OpenError(ENOENT, native) : dwError);
            return INVALID_HANDLE_VALUE;
        }
    } else {
        // O_NONBLOCK: a FIFO must not hold the open.
        fd = ::open(native.c_str(), flags | O_NONBLOCK | O_NOCTTY, 0666);
        if (fd < 0) {
            SetLastError(errno == ENXIO ? ERROR_ACCESS_DENIED : OpenError(errno, native));
            return INVALID_HANDLE_VALUE;
        }
        struct stat st {};
        regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        // A device such as /dev/full is written as it is; a directory, FIFO
        // or socket is no place for the library's files.
        if (!regular && !S_ISCHR(st.st_mode)) {
            ::close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        int fl = ::fcntl(fd, F_GETFL);
        if (fl >= 0)
            ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    // No sharing asked: hold the file exclusively; sharing readers: shared lock.
    bool exclusive = write || (shareMode & FILE_SHARE_READ) == 0;
    if ((shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) !=
            (FILE_SHARE_READ | FILE_SHARE_WRITE) &&
        ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        ::close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // Only a regular file has contents to replace; a device is written as it is.
    if (creationDisposition == CREATE_ALWAYS && regular && ::ftruncate(fd, 0) != 0) {
        int err = errno;
        ::close(fd);
        SetLastError(Win32ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return new FileObject{fd};
}

BOOL GetFileSizeEx(HANDLE hFile, std::int64_t* size) {
    FileObject* f = ObjectOf(hFile);
    if (f == nullptr || size == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    struct stat st {};
    if (::fstat(f->fd, &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return 0;
    }
    *size = st.st_size;
    return 1;
}

BOOL ReadFile(HANDLE hFile, void* buffer, DWORD toRead, DWORD* read) {
    FileObject* f = ObjectOf(hFile);
    if (read != nullptr)
        *read = 0;
    if (f == nullptr || (buffer == nullptr && toRead > 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD total = 0;
    auto* p = static_cast<char*>(buffer);
    while (total < toRead) {
        ssize_t n = ::read(f->fd, p + total, toRead - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(Win32ErrorFromErrno(errno));
            if (read != nullptr)
                *read = total;
            return 0;
        }
        if (n == 0)
            break;
        total += static_cast<DWORD>(n);
    }
    if (read != nullptr)
        *read = total;
    return 1;
}

BOOL WriteFile(HANDLE hFile, const void* buffer, DWORD toWrite, DWORD* written) {
    FileObject* f = ObjectOf(hFile);
    if (written != nullptr)
        *written = 0;
    if (f == nullptr || (buffer == nullptr && toWrite > 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD total = 0;
    const auto* p = static_cast<const char*>(buffer);
    while (total < toWrite) {
        ssize_t n = ::write(f->fd, p + total, toWrite - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : Win32ErrorFromErrno(errno));
            if (written != nullptr)
                *written = total;
            return 0;
        }
        total += static_cast<DWORD>(n);
    }
    if (written != nullptr)
        *written = total;
    return 1;
}

BOOL CloseHandle(HANDLE hFile) {
    FileObject* f = ObjectOf(hFile);
    if (f == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    ::close(f->fd);
    delete f;
    return 1;
}

}  // namespace platform
