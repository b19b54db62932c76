#include "config/CGrowingBuffer.h"

#include <cstring>

#include "vxstring.h"

CGrowingBuffer::CGrowingBuffer(DWORD nGrowBy)
    : m_pData(nullptr), m_nSize(0), m_nCapacity(0), m_nPosition(0), m_nGrowBy(nGrowBy) {}

CGrowingBuffer::~CGrowingBuffer() {
    Free();
}

DWORD CGrowingBuffer::Write(const void* pData, DWORD nCount) {
    std::uint64_t need = static_cast<std::uint64_t>(m_nPosition) + nCount;
    if (need > 0xFFFFFFFFu)
        return 0;
    if (m_pData == nullptr || need >= m_nCapacity) {
        std::uint64_t capacity =
            m_pData == nullptr ? m_nGrowBy : static_cast<std::uint64_t>(m_nCapacity) * 2;
        if (need > capacity)
            capacity = need + m_nGrowBy;
        if (capacity > 0xFFFFFFFFu)
            return 0;
        if (capacity == 0)
            capacity = 1;  // a zero growth step still needs a block
        void* block = m_pData == nullptr ? GetMemory(static_cast<size_t>(capacity))
                                         : ReallocMemory(m_pData, static_cast<size_t>(capacity));
        if (block == nullptr)
            return 0;
        m_pData = static_cast<BYTE*>(block);
        m_nCapacity = static_cast<DWORD>(capacity);
    }
    DWORD offset = m_nPosition;
    if (pData != nullptr && nCount != 0)
        std::memcpy(m_pData + offset, pData, nCount);
    m_nPosition = static_cast<DWORD>(need);
    if (m_nPosition > m_nSize)
        m_nSize = m_nPosition;
    return offset;
}

void CGrowingBuffer::Attach(void* pBlock, DWORD nSize) {
    Free();
    m_pData = static_cast<BYTE*>(pBlock);
    m_nSize = m_nCapacity = pBlock == nullptr ? 0 : nSize;
}

void CGrowingBuffer::Free() {
    if (m_pData != nullptr)
        FreeMemory(m_pData);
    m_pData = nullptr;
    m_nSize = m_nCapacity = m_nPosition = 0;
}

BYTE* CGrowingBuffer::GetPointer(DWORD nOffset) {
    if (m_pData == nullptr)
        Write(nullptr, 0);
    if (m_pData == nullptr || nOffset > m_nSize)
        return nullptr;
    return m_pData + nOffset;
}

DWORD CGrowingBuffer::Read(DWORD nOffset, void* pDestination, DWORD nCount) const {
    if (pDestination == nullptr || nCount == 0 || m_pData == nullptr || nOffset >= m_nSize)
        return 0;
    DWORD n = m_nSize - nOffset < nCount ? m_nSize - nOffset : nCount;
    std::memcpy(pDestination, m_pData + nOffset, n);
    return n;
}

DWORD CGrowingBuffer::ReadNext(void* pDestination, DWORD nCount) {
    DWORD n = Read(m_nPosition, pDestination, nCount);
    m_nPosition += n;
    return n;
}

void CGrowingBuffer::SetPosition(DWORD nPosition) {
    m_nPosition = nPosition > m_nSize ? m_nSize : nPosition;
}
