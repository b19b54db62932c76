// The exception's text: message, the bracketed last error with its system
// text, the cut of long messages.
#include <gtest/gtest.h>

#include <string>

#include "platform/LastError.h"
#include "transport/TSMTPException.h"

namespace {

TSMTPException ThrowAndCatch(DWORD dwLastError, int kind, const char16_t* format,
                             const char16_t* arg) {
    platform::SetLastError(dwLastError);
    try {
        throw TSMTPException(kind, format, arg);
    } catch (const TSMTPException& e) {
        return e;
    }
}

}  // namespace

TEST(TSMTPException, WithoutLastErrorTheTextIsTheMessageAndALineFeed) {
    TSMTPException e = ThrowAndCatch(0, 3, u"Cannot connect to %s!", u"mail.example.com");
    EXPECT_EQ(e.m_dwError, 0u);
    EXPECT_EQ(e.m_nKind, 3);
    EXPECT_EQ(e.m_strMessage, u"Cannot connect to mail.example.com!");
    // The system has a text for 0 too; only the bracketed part is left out.
    EXPECT_EQ(e.m_strErrorMessage, u"The operation completed successfully.");
    EXPECT_EQ(e.m_strText, u"Cannot connect to mail.example.com!\n");
    EXPECT_EQ(e.GetErrorText(), e.m_strText);
}

TEST(TSMTPException, CarriesTheLastErrorAndItsTrimmedSystemText) {
    TSMTPException e =
        ThrowAndCatch(10061, 3, u"%s", u"Cannot establish a connection to a specified socket!");
    EXPECT_EQ(e.m_dwError, 10061u);
    EXPECT_EQ(e.m_strErrorMessage,
              u"No connection could be made because the target machine actively refused it.");
    EXPECT_EQ(e.m_strText,
              u"Cannot establish a connection to a specified socket! [ERROR code = 10061, Message "
              u"= No connection "
              u"could be made because the target machine actively refused it.]\n");
    // Building the exception leaves the thread's error as it found it.
    EXPECT_EQ(platform::GetLastError(), 10061u);
}

TEST(TSMTPException, UnknownCodeKeepsTheBracketWithAnEmptyMessage) {
    TSMTPException e = ThrowAndCatch(0x12345678u, 6, u"%s", u"Socked not created!");
    EXPECT_EQ(e.m_nKind, 6);
    EXPECT_TRUE(e.m_strErrorMessage.empty());
    EXPECT_EQ(e.m_strText, u"Socked not created! [ERROR code = 305419896, Message = ]\n");
}

TEST(TSMTPException, LongMessagesAreCutTo4095Characters) {
    std::u16string longText(5000, u'x');
    TSMTPException e = ThrowAndCatch(5, 3, u"%s", longText.c_str());
    ASSERT_EQ(e.m_strMessage.size(), 4095u);
    EXPECT_EQ(e.m_strMessage, std::u16string(4095, u'x'));
    EXPECT_EQ(e.m_strText, e.m_strMessage + u" [ERROR code = 5, Message = Access is denied.]\n");

    std::u16string exact(4095, u'y');
    EXPECT_EQ(ThrowAndCatch(0, 3, u"%s", exact.c_str()).m_strMessage, exact);
}

TEST(TSMTPException, FormatsNumbersInHexAndDecimal) {
    platform::SetLastError(0);
    TSMTPException e(3, u"PolicyStatus error code = %x.", 0x800B010Fu);
    EXPECT_EQ(e.m_strText, u"PolicyStatus error code = 800b010f.\n");
    TSMTPException d(3, u"HRESULT = %x\n.", 0x80090318u);
    EXPECT_EQ(d.m_strText, u"HRESULT = 80090318\n.\n");
}
