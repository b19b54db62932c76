#include "platform/posix/RegularFile_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LastError.h"

namespace platform {

int OpenRegularFileForReading(const std::string& path, DWORD* pdwError) {
    // O_NONBLOCK: opening a FIFO without a writer would wait for one.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *pdwError = Win32ErrorFromErrno(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *pdwError = ERROR_ACCESS_DENIED;
        return -1;
    }
    // A regular file never blocks; the flag would only confuse later readers.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *pdwError = ERROR_SUCCESS;
    return fd;
}

}  // namespace platform
