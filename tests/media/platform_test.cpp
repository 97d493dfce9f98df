#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <random>

#include "Int128.h"
#include "Platform.h"

namespace {

// The 128-bit arithmetic of 32-bit targets against the compiler's own 128-bit type.
__int128 Native(TInt128 A) {
    return static_cast<__int128>((static_cast<unsigned __int128>(A.High()) << 64) | A.Low());
}

TEST(Platform, Int128MatchesNativeArithmeticAtTheEdges) {
    std::vector<int64_t> values = {0,         1,         -1,        2,         -2,
                                   255,       256,       -256,      1000000,   -1000000,
                                   INT32_MAX, INT32_MIN, UINT32_MAX, INT64_MAX, INT64_MIN,
                                   INT64_MAX - 1, INT64_MIN + 1};
    std::mt19937_64 random(21);
    for (int i = 0; i < 40; ++i) values.push_back(static_cast<int64_t>(random()) >> (i % 60));
    for (const int64_t a : values) {
        for (const int64_t b : values) {
            SCOPED_TRACE(testing::Message() << a << ", " << b);
            const __int128 na = a, nb = b;
            const TInt128 wa(a), wb(b);
            ASSERT_TRUE(Native(wa + wb) == na + nb);
            ASSERT_TRUE(Native(wa - wb) == na - nb);
            ASSERT_TRUE(Native(wa * wb) == na * nb);
            // Products of three, as in (start - pts) * rate, then wrapped sums.
            ASSERT_TRUE(Native((wa - wb) * wa) == (na - nb) * na);
            ASSERT_EQ(wa < wb, na < nb);
            ASSERT_EQ(wa * wb <= wa - wb, na * nb <= na - nb);
            ASSERT_EQ(wa == wb, na == nb);
            const __int128 p = (na - nb) * 48000;
            const TInt128 wp = (wa - wb) * 48000;
            ASSERT_EQ((wp + 999999).Saturated(),
                      p + 999999 > INT64_MAX   ? INT64_MAX
                      : p + 999999 < INT64_MIN ? INT64_MIN
                                               : int64_t(p + 999999));
            for (const int64_t d : {int64_t(1), int64_t(7), int64_t(1000000), int64_t(UINT32_MAX)})
                ASSERT_TRUE(Native(wp / d) == p / d) << d;
            for (const int shift : {1, 8, 63}) ASSERT_TRUE(Native(wp >> shift) == p >> shift);
        }
    }
}

TEST(Platform, UtcTimeIsTheCivilCalendarBefore1970AndFarAhead) {
    const int64_t seconds[] = {0,           -1,           86399,       86400,        951782400,
                               951868799,   -2208988800,  -2203891200, 253402300799, 4102444800,
                               -62135596800, 1709164800,  -86401,      2147483647,   2147483648};
    for (const int64_t s : seconds) {
        SCOPED_TRACE(s);
        std::tm ours{}, system{};
        ASSERT_TRUE(UtcTime(s, ours));
        const std::time_t t = static_cast<std::time_t>(s);
        ASSERT_NE(gmtime_r(&t, &system), nullptr);
        EXPECT_EQ(ours.tm_year, system.tm_year);
        EXPECT_EQ(ours.tm_mon, system.tm_mon);
        EXPECT_EQ(ours.tm_mday, system.tm_mday);
        EXPECT_EQ(ours.tm_hour, system.tm_hour);
        EXPECT_EQ(ours.tm_min, system.tm_min);
        EXPECT_EQ(ours.tm_sec, system.tm_sec);
        EXPECT_EQ(ours.tm_wday, system.tm_wday);
        EXPECT_EQ(ours.tm_yday, system.tm_yday);
    }
    std::tm untouched{};
    untouched.tm_year = 77;
    for (const int64_t s : {INT64_MAX, INT64_MIN, int64_t(1) << 60}) {
        EXPECT_FALSE(UtcTime(s, untouched));
        EXPECT_EQ(untouched.tm_year, 77);
    }
}

}  // namespace
