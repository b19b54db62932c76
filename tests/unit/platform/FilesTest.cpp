#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/CurrentDirectory.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/SystemMessage.h"
#include "platform/Utf.h"

using namespace platform;

namespace {

std::u16string TempPath(const std::string& name) {
    return Utf8ToUtf16(::testing::TempDir() + "/" + name);
}

}  // namespace

TEST(Files, WritesReadsAndReportsTheSize) {
    std::u16string path = TempPath("files-test-\u00e4.bin");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &written));
    EXPECT_EQ(written, 11u);
    CloseHandle(h);

    h = CreateFileW(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::int64_t size = 0;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 11);
    char buffer[32] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read));
    EXPECT_EQ(read, 11u);
    EXPECT_STREQ(buffer, "hello world");
    CloseHandle(h);

    // Replacing the file truncates it.
    h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 0);
    CloseHandle(h);
}

// A file held without sharing is checked on attachment bodies.
TEST(Files, MissingFilesAndFoldersHaveTheirWindowsCodes) {
    HANDLE h = CreateFileW(TempPath("no-such-file.bin").c_str(), GENERIC_READ, 0, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    h = CreateFileW(TempPath("no-such-dir/file.bin").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // A folder cannot be opened as a file, nor can a FIFO or a device be read
    // (opening a FIFO to read would wait for a writer).
    const std::string fifo = ::testing::TempDir() + "/files-test-fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {::testing::TempDir(), fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        h = CreateFileW(Utf8ToUtf16(path).c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    ::unlink(fifo.c_str());
}

TEST(CurrentDirectory, ReadsAndRestores) {
    char16_t saved[260];
    ASSERT_GT(GetCurrentDirectoryW(260, saved), 0u);
    char16_t tiny[1];
    EXPECT_GT(GetCurrentDirectoryW(1, tiny), 1u) << "a short buffer gets the size it needs";
    ASSERT_TRUE(SetCurrentDirectoryW(Utf8ToUtf16(::testing::TempDir()).c_str()));
    EXPECT_FALSE(SetCurrentDirectoryW(u"/no/such/directory"));
    ASSERT_TRUE(SetCurrentDirectoryW(saved));
    char16_t now[260];
    GetCurrentDirectoryW(260, now);
    EXPECT_EQ(std::u16string(now), std::u16string(saved));
}

TEST(SystemMessage, KnowsTheWinsockAndFileTexts) {
    std::u16string text;
    ASSERT_TRUE(FormatSystemMessage(10061, text));
    EXPECT_EQ(text,
              u"No connection could be made because the target machine actively refused it.\r\n");
    ASSERT_TRUE(FormatSystemMessage(2, text));
    EXPECT_EQ(text, u"The system cannot find the file specified.\r\n");
    EXPECT_FALSE(FormatSystemMessage(0xDEADBEEF, text));
    EXPECT_TRUE(text.empty());
}
