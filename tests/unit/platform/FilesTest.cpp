#include <gtest/gtest.h>

#include <string>

#include "NonDiskFiles.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf.h"

using namespace platform;

// Writing, reading, sizes, replacing a file and a missing file or folder are
// the settings store's (CMailCfgTest) and the attachments' (BodyPartTest); a
// file held without sharing is checked on attachment bodies.
TEST(Files, MissingFilesAndFoldersHaveTheirWindowsCodes) {
    // A name in the current folder or at the root has a folder that exists.
    for (const char16_t* name : {u"no-such-file-here.bin", u"/no-such-file-at-the-root.bin"}) {
        EXPECT_EQ(CreateFileW(name, GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << Utf16ToUtf8(name);
    }
    // A folder cannot be opened as a file, nor can a pipe or a device be read
    // (opening a pipe to read would wait for a writer).
    NonDiskFiles notFiles("files-test");
    for (const std::string& path : notFiles.Paths()) {
        SCOPED_TRACE(path);
        HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
}

// Sharing as Windows rules it: readers that share reading do not exclude
// each other; a holder that shares nothing, or a writer, keeps a reader out,
// and a reader keeps writers out.
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
