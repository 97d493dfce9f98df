#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
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

// Each state a folder can be found in: made the user's alone, or refused; what another user
// could have written into it never stays.
TEST(Platform, APrivateFolderIsTheUsersAloneOrRefusedAndWhatOthersLeftThereGoes) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("qac-private-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    const fs::path folder = root / "f";
    const fs::path left = folder / "left.so";
    auto leave = [&](mode_t AMode) {
        fs::create_directory(folder);
        std::ofstream(left) << "x";
        chmod(folder.c_str(), AMode);
    };
    struct TCase {
        const char* Name;
        std::function<void()> Make;
        bool Private, Kept;  // made private; left.so still there
    } const cases[] = {
        {"missing", [] {}, true, false},
        {"ours, private", [&] { leave(0700); }, true, true},
        {"ours, others may read", [&] { leave(0755); }, true, true},
        {"ours, others may write", [&] { leave(0777); }, true, false},
        {"ours, sticky and shared", [&] { leave(01777); }, true, false},
        {"ours, group may write", [&] { leave(0770); }, true, false},
        {"another user's", [&] { leave(0700); (void)chown(folder.c_str(), 65534, 65534); }, false, true},
        {"a link to ours", [&] { fs::create_directory(root / "real"); fs::create_directory_symlink(root / "real", folder); }, false, false},
        {"a file", [&] { std::ofstream(folder) << "x"; }, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(folder);
        fs::remove_all(root / "real");
        c.Make();
        std::string error;
        EXPECT_EQ(MakePrivateFolder(folder, error), c.Private) << error;
        struct stat st {};
        ASSERT_EQ(lstat(folder.c_str(), &st), 0);
        if (c.Private) {
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0700u);
            EXPECT_EQ(st.st_uid, geteuid());
        } else {
            EXPECT_EQ(error, folder.string() + " is not private");
        }
        EXPECT_EQ(fs::exists(fs::symlink_status(left)), c.Kept);
    }
    // Two fresh folders never share a name.
    std::string error;
    const fs::path a = MakeFreshPrivateFolder(root, UserFolderName("fresh"), error);
    const fs::path b = MakeFreshPrivateFolder(root, UserFolderName("fresh"), error);
    ASSERT_FALSE(a.empty()) << error;
    EXPECT_NE(a, b);
    EXPECT_EQ(a.filename().string().rfind("fresh-" + std::to_string(getuid()) + "-", 0), 0u);
    struct stat st {};
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(MakeFreshPrivateFolder(root / "missing", "fresh", error).empty());
    fs::remove_all(root);
}

}  // namespace
