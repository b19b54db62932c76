#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>

#include "ScratchDir.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf.h"

using namespace platform;

TEST(Files, MissingFilesAndFoldersHaveTheirWindowsCodes) {
    // A name in the current folder or at the root has a folder that exists.
    for (const char16_t* name : {u"no-such-file-here.bin", u"/no-such-file-at-the-root.bin"}) {
        EXPECT_EQ(CreateFileW(name, GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << Utf16ToUtf8(name);
    }
    // A folder cannot be opened as a file, nor can a pipe or a device be read
    // (opening a pipe to read would wait for a writer).
#if defined(_WIN32)
    const std::string pipe = "\\\\.\\pipe\\smtpmail-files-test-" + std::to_string(ProcessId());
    HANDLE hPipe =
        ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(hPipe, INVALID_HANDLE_VALUE);
    const std::string device = "NUL";
#else
    const std::string pipe =
        ::testing::TempDir() + "/files-test-fifo-" + std::to_string(ProcessId());
    ::unlink(pipe.c_str());
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string device = "/dev/zero";
#endif
    for (const std::string& path : {::testing::TempDir(), pipe, device}) {
        SCOPED_TRACE(path);
        HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
#if defined(_WIN32)
    ::CloseHandle(hPipe);
#else
    ::unlink(pipe.c_str());
#endif
}

TEST(Files, ReadersThatShareReadingDoNotExcludeEachOther) {
    const std::u16string path = Utf8ToUtf16(::testing::TempDir() + "/files-test-shared.bin");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    const struct {
        DWORD holderAccess, holderShare, access, share;
        bool bOpens;
    } rows[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, 0, GENERIC_READ, FILE_SHARE_READ, false},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.holderAccess << " " << row.holderShare
                                          << " " << row.access << " " << row.share);
        HANDLE holder =
            CreateFileW(path.c_str(), row.holderAccess, row.holderShare, OPEN_EXISTING, 0);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        h = CreateFileW(path.c_str(), row.access, row.share, OPEN_EXISTING, 0);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, row.bOpens);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        else
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        CloseHandle(holder);
    }
}
