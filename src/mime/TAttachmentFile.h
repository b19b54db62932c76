// An attachment's file read block by block, so that nobody who sends it has
// to hold the whole file: each block but the last is a whole number of
// 57-byte groups, so its Base64 lines are whole 76-character lines and the
// text is the same as that of the file encoded at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/WinTypes.h"

class TAttachmentFile {
public:
    // Bytes of the file per read: 840 lines of Base64, 65,520 bytes with
    // their line ends.
    static constexpr DWORD BLOCK_SIZE = 57 * 840;
    // Room for one line of Base64 with its line end and the slack that
    // Base64LinesRoom asks for: ReadLines always gets on with this much.
    static constexpr std::size_t LINE_ROOM = 76 + 2 + 3;

    TAttachmentFile() = default;
    ~TAttachmentFile();
    TAttachmentFile(const TAttachmentFile&) = delete;
    TAttachmentFile& operator=(const TAttachmentFile&) = delete;

    // Opens the file for reading, shared with other readers but not with
    // writers (so it cannot change while it is sent), and checks
    // its size; false with the thread's last error set (ERROR_FILE_TOO_LARGE
    // when the file is larger than dwMaxSize).
    bool Open(const std::u16string& sPath, DWORD dwMaxSize);
    std::uint64_t Size() const { return m_nSize; }
    bool AtEnd() const { return m_nRead >= m_nSize; }
    // Reads the next bytes, as many as their Base64 lines fit into nRoom bytes
    // (at most BLOCK_SIZE), and writes the lines to pOut; nWritten is their
    // length. False with the last error set when the file cannot be read or
    // ended before its size, or nRoom is below LINE_ROOM.
    bool ReadLines(char* pOut, std::size_t nRoom, std::size_t& nWritten);

private:
    HANDLE m_hFile = nullptr;
    std::uint64_t m_nSize = 0;
    std::uint64_t m_nRead = 0;
    std::unique_ptr<unsigned char[]> m_pBlock;
};
