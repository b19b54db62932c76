#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/CGrowingBuffer.h"
#include "vxstring.h"

// The first write takes one growth step, or the size plus a step when it is
// larger; reaching the capacity exactly grows it.
TEST(CGrowingBuffer, GrowsByItsStep) {
    struct Case {
        DWORD step;
        std::vector<DWORD> writes;
        DWORD capacity;
    };
    const std::string bytes(100, 'z');
    for (const Case& c : {Case{1024, {3}, 1024}, Case{16, {15}, 16}, Case{16, {15, 1}, 32},
                          Case{16, {1, 100}, 117}, Case{8, {20}, 28}}) {
        CGrowingBuffer b(c.step);
        DWORD size = 0;
        for (DWORD n : c.writes) {
            EXPECT_EQ(b.Write(bytes.data(), n), size) << "a write returns where it started";
            size += n;
        }
        EXPECT_EQ(b.m_nCapacity, c.capacity) << c.step << " " << c.writes.size();
        EXPECT_EQ(b.GetSize(), size);
        EXPECT_EQ(b.GetPosition(), size);
    }
    CGrowingBuffer b(1024);
    EXPECT_EQ(b.m_pData, nullptr);
    b.Write("abc", 3);
    b.Write("de", 2);
    EXPECT_EQ(std::memcmp(b.m_pData, "abcde", 5), 0);
}

TEST(CGrowingBuffer, NullWriteReservesAndOverwriteKeepsTheSize) {
    CGrowingBuffer b(64);
    EXPECT_EQ(b.Write(nullptr, 10), 0u);
    EXPECT_EQ(b.GetSize(), 10u);
    b.Rewind();
    b.Write("ab", 2);
    EXPECT_EQ(b.GetSize(), 10u);
    EXPECT_EQ(b.GetPosition(), 2u);
}

TEST(CGrowingBuffer, ReadsStopAtTheContent) {
    CGrowingBuffer b(64);
    b.Write("hello", 5);
    char out[16] = {};
    EXPECT_EQ(b.Read(1, out, 10), 4u);
    EXPECT_STREQ(out, "ello");
    EXPECT_EQ(b.Read(5, out, 1), 0u);
    EXPECT_EQ(b.Read(0, nullptr, 3), 0u);
    EXPECT_EQ(b.Read(0, out, 0), 0u);

    b.SetPosition(100);
    EXPECT_EQ(b.GetPosition(), 5u);  // clamped
    b.Rewind();
    char two[3] = {};
    EXPECT_EQ(b.ReadNext(two, 2), 2u);
    EXPECT_STREQ(two, "he");
    EXPECT_EQ(b.GetPosition(), 2u);
    char rest[8] = {};
    EXPECT_EQ(b.ReadNext(rest, 8), 3u);
    EXPECT_EQ(b.GetPosition(), 5u);
    EXPECT_EQ(b.ReadNext(rest, 8), 0u);
}

TEST(CGrowingBuffer, GetPointerAllocatesAndChecksTheOffset) {
    CGrowingBuffer b(32);
    BYTE* p = b.GetPointer(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(b.m_nCapacity, 32u);
    EXPECT_EQ(b.GetSize(), 0u);
    EXPECT_EQ(b.GetPointer(1), nullptr);
    b.Write("abc", 3);
    EXPECT_EQ(b.GetPointer(3), b.m_pData + 3);
    EXPECT_EQ(b.GetPointer(4), nullptr);
}

TEST(CGrowingBuffer, AttachTakesOwnershipAndFreeResets) {
    CGrowingBuffer b(32);
    b.Write("old", 3);
    void* block = GetMemory(7);
    std::memcpy(block, "attach!", 7);
    b.Attach(block, 7);
    EXPECT_EQ(b.m_pData, block);
    EXPECT_EQ(b.GetSize(), 7u);
    EXPECT_EQ(b.m_nCapacity, 7u);
    EXPECT_EQ(b.GetPosition(), 0u);
    b.SetPosition(7);
    b.Write("x", 1);  // need 8 > capacity 7: doubles
    EXPECT_EQ(b.m_nCapacity, 14u);
    EXPECT_EQ(std::memcmp(b.m_pData, "attach!x", 8), 0);
    b.Free();
    EXPECT_EQ(b.m_pData, nullptr);
    EXPECT_EQ(b.GetSize() + b.m_nCapacity + b.GetPosition(), 0u);
}
