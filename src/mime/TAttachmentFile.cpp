#include "mime/TAttachmentFile.h"

#include <new>

#include "mime/Base64Lines.h"
#include "platform/Files.h"
#include "platform/LastError.h"

TAttachmentFile::~TAttachmentFile() {
    if (m_hFile != nullptr && m_hFile != INVALID_HANDLE_VALUE) {
        // The read's error is what callers report; closing must not replace it.
        const DWORD dwError = platform::GetLastError();
        platform::CloseHandle(m_hFile);
        platform::SetLastError(dwError);
    }
}

bool TAttachmentFile::Open(const std::u16string& sPath, DWORD dwMaxSize) {
    m_hFile = platform::CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (m_hFile == INVALID_HANDLE_VALUE)
        return false;
    std::int64_t size = 0;
    if (!platform::GetFileSizeEx(m_hFile, &size))
        return false;
    if (size > static_cast<std::int64_t>(dwMaxSize)) {
        platform::SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    m_nSize = static_cast<std::uint64_t>(size);
    return true;
}

bool TAttachmentFile::ReadLines(char* pOut, std::size_t nRoom, std::size_t& nWritten) {
    nWritten = 0;
    if (!m_pBlock) {
        m_pBlock.reset(new (std::nothrow) unsigned char[BLOCK_SIZE]);
        if (!m_pBlock) {
            platform::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    const std::uint64_t left = m_nSize - m_nRead;
    DWORD dwWant = left < BLOCK_SIZE ? static_cast<DWORD>(left) : BLOCK_SIZE;
    // Short of room, only whole lines: the next read still starts a line.
    if (Base64LinesRoom(dwWant) > nRoom)
        dwWant = static_cast<DWORD>(nRoom < LINE_ROOM ? 0 : (nRoom - 3) / 78 * 57);
    if (dwWant == 0) {
        platform::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    DWORD dwRead = 0;
    if (!platform::ReadFile(m_hFile, m_pBlock.get(), dwWant, &dwRead))
        return false;
    if (dwRead != dwWant) {
        platform::SetLastError(ERROR_HANDLE_EOF);  // the file shrank while it was read
        return false;
    }
    m_nRead += dwRead;
    if (!WriteBase64Lines(m_pBlock.get(), dwRead, pOut, nWritten)) {
        platform::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}
