#include <gtest/gtest.h>

#include <string>

#include "SystemText.h"
#include "platform/LastError.h"
#include "transport/TSMTPException.h"

TEST(TSMTPException, TextIsTheMessageAndTheLastErrorWithItsSystemText) {
    const std::u16string longText(5000, u'x');
    const std::u16string cut(4095, u'x');
    const std::u16string refused = SystemTextLine(10061);
    const std::u16string denied = SystemTextLine(5);
    const struct {
        DWORD dwLastError;
        const char16_t* format;
        const char16_t* arg;
        const std::u16string message, errorMessage, text;
    } cases[] = {
        // The system has a text for 0 too.
        {0, u"Cannot connect to %s!", u"mail.example.com", u"Cannot connect to mail.example.com!",
         SystemTextLine(0), u"Cannot connect to mail.example.com!\n"},
        {10061, u"%s", u"Cannot establish a connection to a specified socket!",
         u"Cannot establish a connection to a specified socket!", refused,
         u"Cannot establish a connection to a specified socket! [ERROR code = 10061, Message = " +
             refused + u"]\n"},
        {0x12345678u, u"%s", u"Socked not created!", u"Socked not created!", u"",
         u"Socked not created! [ERROR code = 305419896, Message = ]\n"},
        {5, u"%s", longText.c_str(), cut, denied,
         cut + u" [ERROR code = 5, Message = " + denied + u"]\n"},
        {0, u"%s", cut.c_str(), cut, SystemTextLine(0), cut + u"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dwLastError);
        platform::SetLastError(c.dwLastError);
        try {
            throw TSMTPException(6, c.format, c.arg);
        } catch (const TSMTPException& e) {
            EXPECT_EQ(e.m_dwError, c.dwLastError);
            EXPECT_EQ(e.m_nKind, 6);
            EXPECT_EQ(e.m_strMessage, c.message);
            EXPECT_EQ(e.m_strErrorMessage, c.errorMessage);
            EXPECT_EQ(e.GetErrorText(), c.text);
        }
        // Building the exception leaves the thread's error as it found it.
        EXPECT_EQ(platform::GetLastError(), c.dwLastError);
    }
}
