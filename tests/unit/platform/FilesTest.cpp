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
