// The main window's preview with the real player: SDL's disk driver captures what would be heard
// while the transport bar is driven. Offscreen, generated media.
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <cmath>

#include "FFPlay.h"
#include "PlayerTestEnv.h"
#include "conversion.h"
#include "errordlg.h"

namespace fs = std::filesystem;
using testmedia::MakeTone;

class PreviewTest : public TPlayerTest {
protected:
    template <typename T>
    static T* Control(TAppWindows& AApp, const char* AName) { return FindChild<T>(AApp.MainForm.get(), AName); }
};

TEST_F(PreviewTest, PlayPauseResumeVolumeAndStopDriveTheSelectedJob) {
    CancelErrors();
    testmedia::ScopedTempDir dir("preview");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 6.0, 44100, 2));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(880, 0.5, 6.0, 44100, 2));
    auto app = StartWith({a, b}, 2);
    TMainForm& form = *app->MainForm;
    auto* play = Control<QPushButton>(*app, "PlayButton");
    auto* pause = Control<QPushButton>(*app, "PauseButton");

    play->click();
    EXPECT_NEAR(Frequency(Hear(22050)), 880, 5);  // the selected job is heard
    EXPECT_TRUE(play->isChecked());

    // Pause hears zeros (after what the device had already taken); Play resumes.
    pause->click();
    EXPECT_TRUE(WaitFor([&] { return form.LastPlayState == psPause; }, 5));
    EXPECT_TRUE(pause->isChecked() && !play->isChecked());
    const auto paused = Hear(17640);
    EXPECT_TRUE(Silent({paused.begin() + 8192, paused.end()}));
    play->click();
    EXPECT_TRUE(WaitFor([&] { return form.LastPlayState == psResume; }, 5));
    const auto resumed = Hear(17640);
    EXPECT_NEAR(Frequency({resumed.begin() + 8192, resumed.end()}), 880, 5);

    // Volume 0 silences without pausing; the playback goes on.
    Control<QSlider>(*app, "VolumeTrackBar")->setValue(0);
    EXPECT_EQ(form.FFPlayer->AudioVolume(), 0);
    const auto muted = Hear(17640);
    EXPECT_TRUE(Silent({muted.begin() + 8192, muted.end()}));
    Control<QSlider>(*app, "VolumeTrackBar")->setValue(128);

    // Stop goes back to the start of the selected job.
    Control<QPushButton>(*app, "StopButton")->click();
    EXPECT_FALSE(play->isChecked() || pause->isChecked());
    EXPECT_EQ(Control<QSlider>(*app, "VideoTrackBar")->value(), 0);
    EXPECT_EQ(Control<QLabel>(*app, "lblPlayTime")->text(), "00:00:00 / 00:00:06");
    EXPECT_TRUE(Stopped());

    // Selecting another row while one plays stops the preview.
    play->click();
    EXPECT_TRUE(WaitFor([&] { return form.LastPlayState == psPlay; }, 5));
    form.SetCurrentRow(1);
    EXPECT_FALSE(play->isChecked());
    EXPECT_EQ(form.FFPlayer->PlayState(), psStop);
    EXPECT_EQ(Control<QLabel>(*app, "lblPlayTime")->text(), "00:00:00 / 00:00:06");
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(PreviewTest, TheSeekBarJumpsToAClickSeeksOnceOnReleaseAndTheEndStopsThePreview) {
    CancelErrors();
    testmedia::ScopedTempDir dir("preview");
    // 4 s, one frequency per second: 400, 700, 1000, 1300 Hz.
    const fs::path steps = MakeSteps(dir.path() / "steps.wav", 4, 1.0);
    auto app = StartWith({steps});
    TMainForm& form = *app->MainForm;
    auto* bar = Control<QSlider>(*app, "VideoTrackBar");
    form.show();  // the mouse reaches a shown window only
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    Control<QPushButton>(*app, "PlayButton")->click();
    Hear(4410);
    // The frequency heard once the playback went on a little from the bar's value.
    const auto expected = [&] { return 400 + 300 * std::floor(4.0 * bar->value() / 1000 + 0.3); };

    // A press on the groove puts the handle under the mouse; while it is held, position events
    // leave it there and nothing seeks; the release seeks once, to where it stands.
    const QPoint at = GroovePoint(bar, 0.8);
    QTest::mousePress(bar, Qt::LeftButton, {}, at);
    EXPECT_TRUE(SliderHandle(bar).contains(at));
    EXPECT_TRUE(form.SeekBarDragging);
    const int held = bar->value();
    EXPECT_NEAR(held, 800, 20);
    EXPECT_NEAR(Frequency(Hear(13230)), 400, 5);
    EXPECT_EQ(bar->value(), held);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, at);
    EXPECT_FALSE(form.SeekBarDragging);
    double frequency = expected();
    auto heard = Hear(17640);
    EXPECT_NEAR(Frequency({heard.end() - 8820, heard.end()}), frequency, 5);

    // A drag from the groove: the handle follows the mouse, the release seeks there.
    QTest::mousePress(bar, Qt::LeftButton, {}, GroovePoint(bar, 0.9));
    const QPoint to = GroovePoint(bar, 0.3);
    QTest::mouseMove(bar, to);
    EXPECT_TRUE(SliderHandle(bar).contains(to));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, to);
    frequency = expected();
    heard = Hear(17640);
    EXPECT_NEAR(Frequency({heard.end() - 8820, heard.end()}), frequency, 5);

    // Then the file plays to its end, which stops the preview back at its start.
    EXPECT_TRUE(WaitFor([&] { return form.FFPlayer->PlayState() == psStop; }, 10));
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(Control<QPushButton>(*app, "PlayButton")->isChecked());
    EXPECT_EQ(Control<QLabel>(*app, "lblPlayTime")->text(), "00:00:00 / 00:00:04");
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(PreviewTest, StartAndClosingStopThePreviewAndABrokenSDLCopyAddsNoRow) {
    CancelErrors();
    testmedia::ScopedTempDir dir("preview");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 30.0, 44100, 2));
    const fs::path shortJob = MakeTone(dir.path(), "short.wav", Tone(440, 0.5, 0.3, 8000, 1));
    {
        auto app = StartWith({a, shortJob});
        TMainForm& form = *app->MainForm;
        const QString output = Path("out");
        QDir().mkpath(output);
        Control<QLineEdit>(*app, "edDestinationFolder")->setText(output);
        Control<QPushButton>(*app, "PlayButton")->click();
        Hear(4410);
        form.StartButtonClick();  // returns when the run has ended
        EXPECT_EQ(form.FFPlayer->PlayState(), psStop);
        EXPECT_TRUE(Stopped());
        EXPECT_TRUE(LogLines(*app).contains("-> Conversion successfully done."));

        Control<QPushButton>(*app, "PlayButton")->click();
        Hear(4410);
        form.close();
        EXPECT_TRUE(Stopped());
    }

    // A shipped SDL library that cannot be loaded: the error dialog, the loader's text as a bare
    // log line, and nothing added.
    QDir().mkpath(Path("app/LibAV"));
    QFile broken(Path("app/LibAV/libSDL2-2.0.so.0"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not a library");
    broken.close();
    // A new private folder: the copy there is made from the broken library.
    QDir().mkpath(Path("runtime2"));
    ::chmod(Path("runtime2").toUtf8().constData(), 0700);
    qputenv("XDG_RUNTIME_DIR", Path("runtime2").toUtf8());
    ErrorMessages.clear();
    auto app = Start();
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    AddThroughDialog(*app->MainForm, {a});
    EXPECT_TRUE(app->MainForm->AudioFiles.empty());
    EXPECT_EQ(ErrorMessages, QStringList{"Error loading SDL library"});
    const QStringList log = LogLines(*app, logStart);
    ASSERT_EQ(log.size(), 1);
    EXPECT_FALSE(log[0].isEmpty());
    EXPECT_FALSE(log[0].startsWith("->"));
}

// No private folder for the SDL copy (a link in its place, no temporary folder for a fresh one):
// the preview says so and loads no SDL library from anywhere else.
TEST_F(PreviewTest, WithoutAPrivateSDLFolderThePreviewSaysPlaybackIsUnavailableAndLoadsNothing) {
    CancelErrors();
    testmedia::ScopedTempDir dir("preview");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 1.0, 44100, 2));
    QDir().mkpath(Path("unsafe"));
    ASSERT_TRUE(QFile::link(Path("runtime"), Path("unsafe/quendral")));
    qputenv("XDG_RUNTIME_DIR", Path("unsafe").toUtf8());
    auto app = Start();
    qputenv("TMPDIR", Path("missing").toUtf8());
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    AddThroughDialog(*app->MainForm, {a});
    qputenv("TMPDIR", Path("tmp").toUtf8());
    const QString unavailable = "playback is unavailable: " + Path("unsafe/quendral") + " is not private";
    EXPECT_EQ(ErrorMessages, QStringList{unavailable});
    EXPECT_TRUE(LogLines(*app, logStart).contains(unavailable));
    EXPECT_FALSE(app->MainForm->FFPlayer->SDLLibLoaded());
}
