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
    m_hFile = platform::CreateFileW(
        sPath.c_str(), GENERIC_READ, 0, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (m_hFile == INVALID_HANDLE_VALUE)
        return false;
    std::int64_t size = 0;
    if (!platform::GetFileSizeEx(m_hFile, &size))
        return false;
    if (size > static_cast<std::int64_t>(dwMaxSize)) {
        platform::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    m_nSize = static_cast<std::uint64_t>(size);
    return true;
}

bool TAttachmentFile::ReadBlock(const unsigned char*& pData, DWORD& dwCount) {
    if (!m_pBlock) {
        m_pBlock.reset(new (std::nothrow) unsigned char[BLOCK_SIZE]);
        if (!m_pBlock) {
            platform::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    const std::uint64_t left = m_nSize - m_nRead;
    const DWORD dwWant = left < BLOCK_SIZE ? static_cast<DWORD>(left) : BLOCK_SIZE;
    DWORD dwRead = 0;
    if (!platform::ReadFile(m_hFile, m_pBlock.get(), dwWant, &dwRead))
        return false;
    if (dwRead != dwWant) {
        platform::SetLastError(ERROR_HANDLE_EOF);  // the file shrank while it was read
        return false;
    }
    m_nRead += dwRead;
    pData = m_pBlock.get();
    dwCount = dwRead;
    return true;
}

bool TAttachmentFile::ReadLines(std::string& sLines) {
    const unsigned char* pData = nullptr;
    DWORD dwCount = 0;
    if (!ReadBlock(pData, dwCount))
        return false;
    sLines.resize(Base64LinesRoom(dwCount));
    sLines.resize(WriteBase64Lines(pData, dwCount, sLines.data()));
    return true;
}
