// A byte buffer with a current position that grows geometrically; its block
// comes from the host's allocator (GetMemory, ReallocMemory, FreeMemory).
#pragma once

#include "platform/WinTypes.h"

class CGrowingBuffer {
public:
    explicit CGrowingBuffer(DWORD nGrowBy);
    virtual ~CGrowingBuffer();
    CGrowingBuffer(const CGrowingBuffer&) = delete;
    CGrowingBuffer& operator=(const CGrowingBuffer&) = delete;

    virtual DWORD GetPosition() const { return m_nPosition; }
    virtual DWORD GetSize() const { return m_nSize; }

    DWORD Write(const void* pData, DWORD nCount);
    void Attach(void* pBlock, DWORD nSize);
    void Free();
    BYTE* GetPointer(DWORD nOffset);
    DWORD Read(DWORD nOffset, void* pDestination, DWORD nCount) const;
    DWORD ReadNext(void* pDestination, DWORD nCount);
    void SetPosition(DWORD nPosition);
    void Rewind() { SetPosition(0); }

    BYTE* m_pData;
    DWORD m_nSize;
    DWORD m_nCapacity;
    DWORD m_nPosition;
    DWORD m_nGrowBy;
};
