// The Qt host of the player's drawing, offscreen: frames handed over from another thread are
// painted, a resize reaches the player, a hidden host says so; a player's pictures are painted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QTest>
#include <thread>
#include <vector>

#include "AppShell.h"
#include "FFPlay.h"
#include "PlayerScreen.h"
#include "TestMedia.h"

TEST(PlayerScreenTest, AFrameFromThePlayThreadIsPaintedAndResizeAndHidingReachThePlayer) {
    QWidget parent;
    parent.resize(100, 60);
    auto* screen = new TPlayerScreen(&parent);
    screen->setGeometry(0, 0, 40, 20);
    int resizes = 0;
    screen->SetOnResize([&] { ++resizes; });
    EXPECT_FALSE(screen->Showing());  // never shown: the player hands nothing over
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    EXPECT_TRUE(screen->Showing());
    int w = 0, h = 0;
    screen->GetClientSize(w, h);
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 20);

    std::vector<uint32_t> frame(40 * 20, 0x00102030);
    frame[5 * 40 + 7] = 0x00FFFFFF;
    std::thread([&] { screen->PresentFrame(frame.data(), 40, 20, 40 * 4); }).join();
    QTest::qWait(50);
    const QImage shot = screen->grab().toImage();
    EXPECT_EQ(shot.pixel(7, 5), 0xFFFFFFFFu);
    EXPECT_EQ(shot.pixel(0, 0), 0xFF102030u);

    const int before = resizes;
    screen->resize(60, 30);
    EXPECT_GT(resizes, before);
    screen->GetClientSize(w, h);
    EXPECT_EQ(w, 60);
    screen->SetOnResize({});
    parent.hide();
    EXPECT_FALSE(screen->Showing());
}

TEST(PlayerScreenTest, AVideoOpenedPausedIsPaintedWithItsFirstPicture) {
    testmedia::ScopedTempDir dir("player_screen");
    ::chmod(dir.path().c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir.path().string()));
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString((dir / "capture.raw").string()));
    const auto video = testmedia::MakeVideoOnly(dir.path());
    TPlayerScreen screen;
    screen.resize(160, 120);
    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    {
        TFFPlayer player;
        ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
        ASSERT_TRUE(player.LoadSDLLib(SDLCopyFolder().toStdString(), PrepareSDLCopy(5).toStdString()))
            << player.LastErrMsg();
        ASSERT_TRUE(player.Open(video.string(), &screen, true)) << player.LastErrMsg();
        // The first picture's bar covers x 0-15.
        auto bright = [&](int AX) { return qGray(screen.grab().toImage().pixel(AX, 60)) > 200; };
        EXPECT_TRUE(QTest::qWaitFor([&] { return bright(8); }, 5000));
        EXPECT_FALSE(bright(80));
        player.Stop(true);
    }
    for (const char* name : {"XDG_RUNTIME_DIR", "SDL_AUDIODRIVER", "SDL_DISKAUDIOFILE"}) qunsetenv(name);
}
