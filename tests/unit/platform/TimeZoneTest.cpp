#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <string>

#include "platform/TimeZone.h"
#include "platform/Utf.h"
#include "platform/Uuid.h"

namespace {

// Runs a check with TZ set and puts the old value back.
template <typename Check>
void WithTimeZone(const char* tz, Check check) {
    const char* old = std::getenv("TZ");
    std::optional<std::string> saved =
        old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("TZ", tz, 1);
    ::tzset();
    check();
    if (saved) {
        ::setenv("TZ", saved->c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace

TEST(TimeZone, BiasCountsMinutesWestOfUtc) {
    struct Case {
        const char* tz;
        DWORD id;
        LONG current;  // the bias in force now
    } cases[] = {
        {"UTC0", platform::TIME_ZONE_ID_UNKNOWN, 0},
        {"IST-5:30", platform::TIME_ZONE_ID_UNKNOWN, -330},
        {"NST3:30", platform::TIME_ZONE_ID_UNKNOWN, 210},
        {"EST5EDT,0/0,J365/25", platform::TIME_ZONE_ID_DAYLIGHT, 240},  // daylight all year
        {"CET-1CEST,0/0,J365/25", platform::TIME_ZONE_ID_DAYLIGHT, -120},
    };
    for (const Case& c : cases) {
        WithTimeZone(c.tz, [&] {
            platform::TIME_ZONE_INFORMATION info{};
            DWORD id = platform::GetTimeZoneInformation(&info);
            EXPECT_EQ(id, c.id) << c.tz;
            LONG bias =
                id == platform::TIME_ZONE_ID_DAYLIGHT ? info.Bias + info.DaylightBias : info.Bias;
            EXPECT_EQ(bias, c.current) << c.tz;
            if (id == platform::TIME_ZONE_ID_DAYLIGHT) {
                EXPECT_EQ(info.DaylightBias, -60) << c.tz;
            }
        });
    }
    EXPECT_EQ(platform::GetTimeZoneInformation(nullptr), platform::TIME_ZONE_ID_UNKNOWN);
}

TEST(TimeZone, LocalTimeTextUsesEnglishNames) {
    const std::string before = std::setlocale(LC_TIME, nullptr);
    bool german = std::setlocale(LC_TIME, "de_DE.UTF-8") != nullptr;
    WithTimeZone("UTC0", [&] {
        std::u16string text = platform::FormatLocalTimeEnglish("%a|%b|%Y");
        std::time_t now = std::time(nullptr);
        std::tm utc{};
        ::gmtime_r(&now, &utc);
        static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        EXPECT_EQ(platform::Utf16ToUtf8(text), std::string(days[utc.tm_wday]) + "|" +
                                                   months[utc.tm_mon] + "|" +
                                                   std::to_string(utc.tm_year + 1900));
    });
    if (german) {
        EXPECT_NE(std::string(std::setlocale(LC_TIME, nullptr)).find("de_DE"), std::string::npos)
            << "the process locale is left alone";
    }
    std::setlocale(LC_TIME, before.c_str());
}

TEST(Uuid, VersionFourTextInLowerCase) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 100; ++i) {
        platform::UUID uuid{};
        ASSERT_EQ(platform::UuidCreate(&uuid), 0);
        EXPECT_EQ(uuid.bytes[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes[8] & 0xC0, 0x80);
        seen.insert(platform::UuidToStringW(uuid));
    }
    EXPECT_EQ(seen.size(), 100u);
    platform::UUID fixed{};
    for (int i = 0; i < 16; ++i)
        fixed.bytes[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(platform::UuidToStringW(fixed), u"00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_NE(platform::UuidCreate(nullptr), 0);
}
