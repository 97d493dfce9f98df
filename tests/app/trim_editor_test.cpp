// The trim editor opened from the main window, with its real player: SDL's disk driver captures
// what would be heard while the handles, buttons and typed times are driven; the range it writes
// is converted and decoded back. Offscreen, generated media, real modal dialogs.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>

#include "OverviewPanel.h"
#include "PlayerScreen.h"
#include "PlayerTestEnv.h"
#include "clip.h"

namespace fs = std::filesystem;
using testmedia::MakeTone;

class TrimEditorTest : public TPlayerTest {
protected:
    void SetUp() override {
        TPlayerTest::SetUp();
        WriteCatalogue(RunProfiles);  // the first profile writes 22050 Hz mono PCM
    }

    // Presses the main window's "Trim" and runs AScript in the editor once it is shown (FormShow
    // ended, not from inside its pumping waits) and the modal window; returns when it has closed.
    void Edit(TAppWindows& AApp, const std::function<void(TClipForm&)>& AScript) {
        TClipForm& clip = *AApp.ClipForm;
        bool shown = false, ran = false;
        const auto connection = QObject::connect(&clip, &TClipForm::FormShown, [&] { shown = true; });
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (!shown || ran || QApplication::activeModalWidget() != &clip) return;
            ran = true;
            // The error dialogs' answerer sees the editor on top before any dialog of the script.
            QTest::qWait(30);
            AScript(clip);
            if (clip.isVisible()) {
                ADD_FAILURE() << "the editor is still open";
                clip.reject();
            }
        });
        timer.start(5);
        FindChild<QPushButton>(AApp.MainForm.get(), "ClipButton")->click();
        QObject::disconnect(connection);
        EXPECT_TRUE(ran) << "the editor did not open";
    }
    // Waits until the editor's file is open (it opens paused).
    void WaitOpen(TClipForm& AClip) {
        ASSERT_TRUE(WaitFor([&] { return AClip.Duration() > 0 && AClip.LastPlayState == psPlay; }, 10));
    }
    // Presses Play in the freshly opened editor and waits until something of the file was heard.
    void StartPlaying(TClipForm& AClip) {
        WaitOpen(AClip);
        Click(AClip, "PlayButton");
        ASSERT_TRUE(WaitFor([&] { return AClip.LastPlayState == psResume; }, 5));
        Hear(2205);
    }
    template <typename T>
    static T* C(TClipForm& AClip, const char* AName) { return FindChild<T>(&AClip, AName); }
    static void Click(TClipForm& AClip, const char* AButton) { C<QPushButton>(AClip, AButton)->click(); }
    static void Type(TClipForm& AClip, const char* AField, const char* AButton, const QString& AText) {
        C<QLineEdit>(AClip, AField)->setText(AText);
        Click(AClip, AButton);
    }
    static int X(TClipForm& AClip, const char* AHandle) { return C<QLabel>(AClip, AHandle)->x(); }
    // Presses a handle, moves it by ADelta pixels in steps of 4 and releases it.
    static void Drag(TClipForm& AClip, const char* AHandle, int ADelta) {
        QLabel* handle = C<QLabel>(AClip, AHandle);
        auto send = [&](QEvent::Type AType, int AX, Qt::MouseButton AButton, Qt::MouseButtons AButtons) {
            QMouseEvent e(AType, QPointF(AX, 6), handle->mapToGlobal(QPointF(AX, 6)), AButton, AButtons, {});
            QCoreApplication::sendEvent(handle, &e);
        };
        send(QEvent::MouseButtonPress, 6, Qt::LeftButton, Qt::LeftButton);
        const int step = ADelta < 0 ? -4 : 4;
        for (int moved = 0; std::abs(moved) < std::abs(ADelta); moved += step)
            send(QEvent::MouseMove, 6 + step, Qt::NoButton, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, 6, Qt::LeftButton, Qt::NoButton);
    }
    // Pauses and lets the last position event arrive.
    void PauseHere(TClipForm& AClip) {
        Click(AClip, "PauseButton");
        EXPECT_TRUE(WaitFor([&] { return AClip.LastPlayState == psPause; }, 5));
        QTest::qWait(150);
    }
    // The dominant frequencies of the captured blocks of 2048 frames that hold no pause.
    static std::vector<double> BlockFrequencies(const std::vector<int16_t>& ASamples) {
        std::vector<double> result;
        for (size_t at = 0; at + 4096 <= ASamples.size(); at += 4096) {
            const std::vector<int16_t> block(ASamples.begin() + at, ASamples.begin() + at + 4096);
            int zeros = 0, longest = 0;
            for (size_t i = 0; i < block.size(); i += 2) longest = std::max(longest, zeros = block[i] ? 0 : zeros + 1);
            if (longest < 8) result.push_back(Frequency(block));
        }
        return result;
    }
    // Every block is one of the range's two frequencies, and the range played ATimes from its start.
    static void ExpectLooped(const std::vector<double>& AFrequencies, double AFirst, double ASecond, int ATimes) {
        int returns = 0;
        bool second = false;
        for (double f : AFrequencies) {
            EXPECT_TRUE(std::abs(f - AFirst) < 60 || std::abs(f - ASecond) < 60) << f << " Hz is outside the range";
            if (std::abs(f - ASecond) < 60) second = true;
            if (std::abs(f - AFirst) < 60 && second) {
                ++returns;
                second = false;
            }
        }
        EXPECT_GE(returns, ATimes);
    }
    // Pixels of AImage's column AX in the colour AColour.
    static int ColumnPixels(const QImage& AImage, int AX, const QColor& AColour) {
        int n = 0;
        for (int y = 0; y < AImage.height(); ++y) n += AImage.pixelColor(AX, y) == AColour;
        return n;
    }
};

TEST_F(TrimEditorTest, HandlesTypedTimesResetAndSetButtonsKeepRangeAndHandlesTogether) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({MakeSteps(dir.path() / "steps.wav", 6, 1.0)});
    TAudioFile& job = app->MainForm->AudioFiles[0];
    job.TimeStart = 1'000'000;
    job.TimeEnd = 4'000'000;
    Edit(*app, [&](TClipForm& clip) {
        StartPlaying(clip);
        // HandleX on the 456-pixel bar of a 6 s file; the line runs between the handles.
        EXPECT_EQ(X(clip, "imgTrimLeft"), 85);
        EXPECT_EQ(X(clip, "imgTrimRight"), 313);
        EXPECT_EQ(C<QWidget>(clip, "TrimmedTimeLine")->geometry(), QRect(97, 22, 216, 1));
        EXPECT_EQ(clip.height(), 494);

        // A typed start at or after the end moves the end; a typed end before the start the start.
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:05");
        EXPECT_EQ(clip.TrimEnd, 5'000'000);
        EXPECT_EQ(C<QLineEdit>(clip, "TimeEnd")->text(), "00:00:05");
        EXPECT_EQ(X(clip, "imgTrimLeft"), 378);
        EXPECT_EQ(X(clip, "imgTrimRight"), 389);
        Type(clip, "TimeEnd", "spSkinSpeedButton2", "00:00:02");
        EXPECT_EQ(clip.TrimStart, 2'000'000);
        EXPECT_EQ(X(clip, "imgTrimLeft"), 161);
        EXPECT_EQ(X(clip, "imgTrimRight"), 172);

        // A text that is no time is refused and changes nothing.
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:61");
        EXPECT_EQ(MessageTexts(), QStringList{"'00:00:61' is not a valid time"});
        EXPECT_EQ(clip.TrimStart, 2'000'000);

        Click(clip, "spSkinButton6");  // Reset: the whole file
        EXPECT_EQ(clip.TrimStart, 0);
        EXPECT_EQ(clip.TrimEnd, 6'000'000);
        EXPECT_EQ(C<QLineEdit>(clip, "TimeStart")->text(), "00:00:00");
        EXPECT_EQ(C<QLineEdit>(clip, "TimeEnd")->text(), "00:00:06");
        EXPECT_EQ(X(clip, "imgTrimLeft"), 10);
        EXPECT_EQ(X(clip, "imgTrimRight"), 466);

        // Set start / Set end take the playback position; a start past the end moves the end.
        auto* bar = C<QSlider>(clip, "trackbar2");
        PauseHere(clip);
        Click(clip, "spSkinButton1");
        EXPECT_GT(clip.TrimStart, 0);
        EXPECT_EQ(clip.TrimStart, clip.PreviewPosition);
        EXPECT_EQ(X(clip, "imgTrimLeft"), 456 * bar->value() / 1000 + 10);
        Click(clip, "PlayButton");
        Hear(17640);
        PauseHere(clip);
        Click(clip, "spSkinButton3");
        EXPECT_GT(clip.TrimEnd, clip.TrimStart);
        EXPECT_EQ(clip.TrimEnd, clip.PreviewPosition);
        EXPECT_EQ(X(clip, "imgTrimRight"), 456 * bar->value() / 1000 + 10);
        Click(clip, "PlayButton");
        Hear(17640);
        PauseHere(clip);
        Click(clip, "spSkinButton1");
        EXPECT_EQ(clip.TrimStart, clip.PreviewPosition);
        EXPECT_EQ(clip.TrimEnd, clip.TrimStart);
        EXPECT_EQ(X(clip, "imgTrimRight"), X(clip, "imgTrimLeft") + 11);
        Click(clip, "spSkinButton5");
    });
    EXPECT_EQ(job.TimeStart, 1'000'000);
    EXPECT_EQ(job.TimeEnd, 4'000'000);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, OkWritesTheRowAndItsEstimateWhileCancelEscAndClosingWriteNothingAndStop) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 6.0, 44100, 2))});
    TMainForm& form = *app->MainForm;
    TAudioFile& job = form.AudioFiles[0];
    const double wholeSize = job.EstimatedSize;
    ASSERT_GT(wholeSize, 0);

    // The preview stops before the editor opens; OK writes the typed range and the estimate.
    FindChild<QPushButton>(&form, "PlayButton")->click();
    Hear(4410);
    Edit(*app, [&](TClipForm& clip) {
        EXPECT_EQ(form.FFPlayer->PlayState(), psStop);
        StartPlaying(clip);
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:01");
        Type(clip, "TimeEnd", "spSkinSpeedButton2", "00:00:04");
        Click(clip, "spSkinButton4");
    });
    EXPECT_EQ(job.TimeStart, 1'000'000);
    EXPECT_EQ(job.TimeEnd, 4'000'000);
    EXPECT_EQ(job.TrimmedLength, 3'000'000);
    EXPECT_DOUBLE_EQ(job.EstimatedSize, wholeSize / 2);
    EXPECT_EQ(app->ClipForm->FFPlayer2->PlayState(), psStop);

    // Cancel, Esc and the window's closing keep the row and stop the playback.
    const std::function<void(TClipForm&)> closings[] = {
        [](TClipForm& AClip) { Click(AClip, "spSkinButton5"); },
        [](TClipForm& AClip) { QTest::keyClick(&AClip, Qt::Key_Escape); },
        [](TClipForm& AClip) { AClip.close(); },
    };
    for (const auto& closing : closings) {
        Edit(*app, [&](TClipForm& clip) {
            StartPlaying(clip);
            EXPECT_EQ(clip.TrimStart, 1'000'000);  // the row's range is loaded
            Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:02");
            Click(clip, "spSkinButton2");
            closing(clip);
        });
        EXPECT_EQ(job.TimeStart, 1'000'000);
        EXPECT_EQ(job.TimeEnd, 4'000'000);
        EXPECT_EQ(job.TrimmedLength, 3'000'000);
        EXPECT_EQ(app->ClipForm->FFPlayer2->PlayState(), psStop);
        EXPECT_FALSE(app->ClipForm->PlayTrimmed);
        EXPECT_TRUE(Stopped());
    }
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, PlayTrimmedLoopsOnlyTheRangeAlsoWhenItEndsAtTheEndOfTheFile) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    // Half-second steps: 2.0-3.0 s sounds 1600 and 1900 Hz, 5.0-6.0 s 3400 and 3700 Hz.
    auto app = StartWith({MakeSteps(dir.path() / "halves.wav", 6, 0.5)});
    Edit(*app, [&](TClipForm& clip) {
        WaitOpen(clip);  // from the paused opening
        const struct {
            const char *start, *end;
            double first, second;
        } ranges[] = {{"00:00:02", "00:00:03", 1600, 1900}, {"00:00:05", "00:00:06", 3400, 3700}};
        for (const auto& r : ranges) {
            Click(clip, "spSkinButton6");  // Reset, so the typed start never passes the end
            Type(clip, "TimeEnd", "spSkinSpeedButton2", r.end);
            Type(clip, "TimeStart", "spSkinSpeedButton1", r.start);
            Click(clip, "spSkinButton2");
            Hear(8192);  // what the device held before
            ExpectLooped(BlockFrequencies(Hear(154350)), r.first, r.second, 2);
        }
        EXPECT_TRUE(clip.PlayTrimmed);
        EXPECT_NE(clip.FFPlayer2->PlayState(), psStop);
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, DraggedHandlesStoreTheirDropTimeAndCrossNeitherEachOtherNorTheBarsEnds) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    // FLAC: a seek lands at the start of a codec frame, up to ~93 ms before its target.
    auto app = StartWith({MakeSteps(dir.path() / "steps.flac", 6, 1.0)});
    Edit(*app, [&](TClipForm& clip) {
        StartPlaying(clip);
        Drag(clip, "imgTrimLeft", 200);  // pixel 210: value 439 of 1000, 2.634 s
        EXPECT_EQ(X(clip, "imgTrimLeft"), 210);
        EXPECT_NEAR(clip.TrimStart, 2'634'000, 50'000);
        const auto heard = Hear(11025);  // playback resumed at the handle: the third second
        EXPECT_NEAR(Frequency({heard.begin() + 4096, heard.begin() + 8192}), 1000, 5);
        Drag(clip, "imgTrimRight", -100);  // pixel 366: value 781, 4.686 s
        EXPECT_NEAR(clip.TrimEnd, 4'686'000, 50'000);

        for (const auto& [handle, delta] : std::vector<std::pair<const char*, int>>{
                 {"imgTrimLeft", 400}, {"imgTrimRight", -400}, {"imgTrimLeft", -500}, {"imgTrimRight", 500}}) {
            Drag(clip, handle, delta);
            EXPECT_LT(X(clip, "imgTrimLeft"), X(clip, "imgTrimRight")) << handle << " " << delta;
            EXPECT_GT(X(clip, "imgTrimLeft"), 10);
            EXPECT_LT(X(clip, "imgTrimRight"), 466);
            EXPECT_LE(clip.TrimStart, clip.TrimEnd);
        }

        // A seek the stopped playback never carried out: the release neither hangs nor loses the drop.
        clip.FFPlayer2->Seek(int64_t{1'000'000}, TSeekFlags{}, false);
        clip.FFPlayer2->Stop(true);
        Drag(clip, "imgTrimLeft", 40);
        EXPECT_FALSE(clip.LeftHandle.Pressed || clip.LeftHandle.Tracking);
        EXPECT_EQ(clip.TrimStart, clip.HandleTime(X(clip, "imgTrimLeft")));
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, AJobWhoseFileVanishedShowsTheErrorAndTheEditorStaysUsable) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 3.0, 44100, 2));
    auto app = StartWith({a});
    fs::remove(a);
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    Edit(*app, [&](TClipForm& clip) {
        ASSERT_EQ(ErrorMessages.size(), 1);
        EXPECT_TRUE(ErrorMessages[0].startsWith("Error open file: ")) << ErrorMessages[0].toStdString();
        // No duration: the handles stand at the bar's start, nothing divides by it.
        EXPECT_EQ(X(clip, "imgTrimLeft"), 10);
        EXPECT_EQ(X(clip, "imgTrimRight"), 10);
        Drag(clip, "imgTrimRight", 100);
        Click(clip, "PlayButton");  // opens again: a second error
        EXPECT_EQ(ErrorMessages.size(), 2);
        Click(clip, "spSkinButton5");
    });
    const QStringList log = LogLines(*app, logStart);
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].startsWith("-> ")) << log[0].toStdString();
    EXPECT_EQ(app->MainForm->AudioFiles[0].TimeEnd, 3'000'000);
}

TEST_F(TrimEditorTest, AConvertedTrimmedJobHoldsExactlyTheChosenRange) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    // A rising sweep at the profile's own rate and channels: any offset shows in the samples.
    std::vector<float> sweep;
    for (int i = 0; i < 4 * 22050; ++i)
        sweep.push_back(0.5f * static_cast<float>(std::sin(2 * M_PI * (200 + 0.01 * i) * i / 22050.0)));
    const fs::path source = dir.path() / "sweep.wav";
    testmedia::MakeAudio(source, Tone(0, 0, 0, 22050, 1), sweep);
    auto app = StartWith({source});
    Edit(*app, [&](TClipForm& clip) {
        WaitOpen(clip);
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:01");
        Type(clip, "TimeEnd", "spSkinSpeedButton2", "00:00:03");
        Click(clip, "spSkinButton4");
    });
    TMainForm& form = *app->MainForm;
    QDir().mkpath(Path("out"));
    FindChild<QLineEdit>(&form, "edDestinationFolder")->setText(Path("out"));
    form.StartButtonClick();  // returns when the run has ended
    EXPECT_TRUE(LogLines(*app).contains("-> Conversion successfully done."));

    const auto in = testmedia::ToInt16(testmedia::DecodeAudio(source).samples);
    const auto out = testmedia::ToInt16(testmedia::DecodeAudio(Path("out/sweep.wav").toStdString()).samples);
    ASSERT_EQ(out.size(), size_t{2 * 22050});
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin() + 22050));
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, PreviewDrawsThePlaybackAndTheOverviewShowsQuietAndLoudPartsShadedBetweenTheHandles) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({testmedia::MakeSilenceThenTone(dir.path() / "quiet_loud.wav", 3, 3)});
    Edit(*app, [&](TClipForm& clip) {
        StartPlaying(clip);
        auto* overview = C<TOverviewPanel>(clip, "panOverview");
        ASSERT_TRUE(WaitFor([&] { return !clip.WaveOverview.Busy(); }, 10));
        EXPECT_EQ(clip.WaveOverview.LastErrMsg(), "");
        ASSERT_FALSE(overview->Peaks().empty());
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:01");
        Type(clip, "TimeEnd", "spSkinSpeedButton2", "00:00:05");

        // The tone plays from 3 s on: the player's waveform reaches the preview's host.
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:03");
        Click(clip, "spSkinButton2");
        Hear(8820);
        auto* screen = C<TPlayerScreen>(clip, "PlayerScreen");
        EXPECT_EQ(screen->geometry(), C<QWidget>(clip, "panPreview")->rect());
        const QImage preview = screen->grab().toImage();
        int lit = 0;
        for (int y = 0; y < preview.height(); ++y)
            for (int x = 0; x < preview.width(); ++x) lit += preview.pixel(x, y) != 0xFF000000u;
        EXPECT_GT(lit, preview.width() * 4) << "more than the channels' separator line";

        // Columns of the silent half show a flat line, those of the tone its peaks at ±0.5 (-6 dB).
        const QImage shot = overview->grab().toImage();
        for (int c : {5, 100, 220, 240, 350, 450}) {
            const int peak =
                ColumnPixels(shot, c, TOverviewPanel::kPeak) + ColumnPixels(shot, c, TOverviewPanel::kRangePeak);
            if (c < 228)
                EXPECT_LE(peak, 1) << "column " << c;
            else
                EXPECT_NEAR(peak, 36, 2) << "column " << c;
        }

        // The range 3 s - 5 s is shaded between the handles' centres, which it marks; a dragged
        // handle takes the shading along.
        const auto expectShaded = [&](const char* AWhen) {
            SCOPED_TRACE(AWhen);
            const QImage image = overview->grab().toImage();
            const int left = X(clip, "imgTrimLeft") - 10, right = X(clip, "imgTrimRight") - 10;
            EXPECT_EQ(overview->RangeLeft(), left);
            EXPECT_EQ(overview->RangeRight(), right);
            EXPECT_EQ(image.pixelColor(left, 0), TOverviewPanel::kMark);
            EXPECT_EQ(image.pixelColor(right, 0), TOverviewPanel::kMark);
            EXPECT_EQ(image.pixelColor(left + 1, 0), TOverviewPanel::kShade);
            EXPECT_EQ(image.pixelColor(right - 1, 0), TOverviewPanel::kShade);
            EXPECT_EQ(image.pixelColor(left - 1, 0), TOverviewPanel::kBackground);
            EXPECT_EQ(image.pixelColor(right + 1, 0), TOverviewPanel::kBackground);
            EXPECT_EQ(ColumnPixels(image, left - 1, TOverviewPanel::kRangePeak), 0);
            EXPECT_GT(ColumnPixels(image, right - 1, TOverviewPanel::kRangePeak), 15);
        };
        expectShaded("typed");
        EXPECT_EQ(X(clip, "imgTrimLeft"), clip.HandleX(3'000'000));
        Drag(clip, "imgTrimRight", -40);
        expectShaded("dragged");
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, ClosingTheEditorWhileTheOverviewIsComputedEndsItsThread) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({testmedia::MakeSilenceThenTone(dir.path() / "quiet_loud.flac", 5, 5)});
    TClipForm& clip = *app->ClipForm;
    // Closed as soon as FormShow started the computation: no hand-over has reached the window yet.
    bool busy = false;
    const auto connection = QObject::connect(&clip, &TClipForm::FormShown, [&] {
        busy = clip.WaveOverview.Busy();
        clip.reject();
    });
    FindChild<QPushButton>(app->MainForm.get(), "ClipButton")->click();
    QObject::disconnect(connection);
    EXPECT_TRUE(busy);
    EXPECT_FALSE(clip.WaveOverview.Busy());
    QTest::qWait(200);
    EXPECT_TRUE(C<TOverviewPanel>(clip, "panOverview")->Peaks().empty());
    EXPECT_EQ(clip.FFPlayer2->PlayState(), psStop);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

// The SDL copy folder became unsafe after the preview loaded its copy (a link in its place, no
// temporary folder for a fresh one): the editor says so and loads no SDL library at all.
TEST_F(TrimEditorTest, WithoutAPrivateSDLFolderTheEditorSaysPlaybackIsUnavailableAndLoadsNothing) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 3.0, 44100, 2));
    auto app = StartWith({a});
    QDir().mkpath(Path("unsafe"));
    ASSERT_TRUE(QFile::link(Path("runtime"), Path("unsafe/quendral")));
    qputenv("XDG_RUNTIME_DIR", Path("unsafe").toUtf8());
    qputenv("TMPDIR", Path("missing").toUtf8());
    const QString unavailable = "playback is unavailable: " + Path("unsafe/quendral") + " is not private";
    Edit(*app, [&](TClipForm& clip) {
        EXPECT_EQ(ErrorMessages, QStringList{unavailable});
        EXPECT_FALSE(clip.FFPlayer2->SDLLibLoaded());
        Click(clip, "spSkinButton5");
    });
    qputenv("TMPDIR", Path("tmp").toUtf8());
}

// Esc waiting in the queue when Pause is pressed: the pause's pumping wait closes the editor,
// which stops and frees the playback; the pause must leave it alone then.
TEST_F(TrimEditorTest, EscQueuedBeforeAPauseClosesTheEditorAndThePauseTouchesNothingAfter) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 3.0, 44100, 2));
    auto app = StartWith({a});
    Edit(*app, [&](TClipForm& clip) {
        StartPlaying(clip);
        QCoreApplication::postEvent(&clip, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
        Click(clip, "PauseButton");
        EXPECT_FALSE(clip.isVisible());
    });
    EXPECT_EQ(app->ClipForm->FFPlayer2->PlayState(), psStop);
    EXPECT_TRUE(app->ClipForm->FFPlayer2->Paused()) << "nothing is open";
}

TEST_F(TrimEditorTest, TypedTimesStayInTheFileTakeMillisecondsApplyOnEnterAndOkWaitsForAnEndAfterTheStart) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 6.0, 44100, 2))});
    TAudioFile& job = app->MainForm->AudioFiles[0];
    Edit(*app, [&](TClipForm& clip) {
        WaitOpen(clip);
        auto* ok = C<QPushButton>(clip, "spSkinButton4");
        const struct {
            bool start;  // typed into TimeStart, else TimeEnd
            const char *text, *shown;
            int64_t trimStart, trimEnd;
        } steps[] = {
            {false, "00:09:00", "00:00:06", 0, 6'000'000},  // past the end: the file's end
            {true, "00:00:15", "00:00:06", 6'000'000, 6'000'000},
            {false, "00:00:05", "00:00:05", 5'000'000, 5'000'000},  // the start follows: empty
            {true, "00:00:01.25", "00:00:01.250", 1'250'000, 5'000'000},
            {false, "4.5", "00:00:04.500", 1'250'000, 4'500'000},
        };
        for (const auto& s : steps) {
            SCOPED_TRACE(s.text);
            const char* field = s.start ? "TimeStart" : "TimeEnd";
            Type(clip, field, s.start ? "spSkinSpeedButton1" : "spSkinSpeedButton2", s.text);
            EXPECT_EQ(C<QLineEdit>(clip, field)->text(), s.shown);
            EXPECT_EQ(clip.TrimStart, s.trimStart);
            EXPECT_EQ(clip.TrimEnd, s.trimEnd);
            const bool valid = s.trimEnd > s.trimStart;
            EXPECT_EQ(ok->isEnabled(), valid);
            EXPECT_EQ(C<QLineEdit>(clip, "TimeEnd")->styleSheet().isEmpty(), valid);
            EXPECT_LT(X(clip, "imgTrimLeft"), X(clip, "imgTrimRight"));
            if (!valid) {
                QTest::mouseClick(ok, Qt::LeftButton);
                EXPECT_TRUE(clip.isVisible()) << "an empty range was accepted";
            }
        }
        // Enter in a field takes its time as its OK does, and leaves the window open.
        auto* end = C<QLineEdit>(clip, "TimeEnd");
        end->selectAll();
        QTest::keyClicks(end, "00:00:03");
        QTest::keyClick(end, Qt::Key_Return);
        EXPECT_TRUE(clip.isVisible());
        EXPECT_EQ(clip.TrimEnd, 3'000'000);
        Type(clip, "TimeEnd", "spSkinSpeedButton2", "4.5");
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    EXPECT_EQ(job.TimeStart, 1'250'000);
    EXPECT_EQ(job.TimeEnd, 4'500'000);
    EXPECT_EQ(job.TrimmedLength, 3'250'000);
    EXPECT_TRUE(MessageTexts().isEmpty());
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, TheEditorOpensPausedWithNoButtonPressedAndPlayStartsTheFileAtItsStart) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({MakeSteps(dir.path() / "steps.wav", 4, 1.0)});
    Edit(*app, [&](TClipForm& clip) {
        WaitOpen(clip);
        QTest::qWait(300);
        EXPECT_TRUE(clip.FFPlayer2->Paused());
        EXPECT_TRUE(Frames() == 0 || Silent(testmedia::ReadCapture(Path("capture.raw").toStdString())))
            << "the editor played before Play was pressed";
        for (const char* b : {"PlayButton", "PauseButton", "spSkinButton2"})
            EXPECT_FALSE(C<QPushButton>(clip, b)->isChecked()) << b;
        EXPECT_EQ(C<QLabel>(clip, "lblPlayTime")->text(), "00:00:00 / 00:00:04");
        Click(clip, "PlayButton");
        EXPECT_TRUE(C<QPushButton>(clip, "PlayButton")->isChecked());
        const auto heard = testmedia::WithoutSilence(Hear(17640), 2);
        ASSERT_GE(heard.size(), size_t{8192});
        EXPECT_NEAR(Frequency({heard.begin(), heard.begin() + 8192}), 400, 5);
        // Pause toggles; the pressed button follows the playback.
        const struct {
            TPlayState state;
            const char* pressed;
        } toggles[] = {{psPause, "PauseButton"}, {psResume, "PlayButton"}};
        for (const auto& t : toggles) {
            Click(clip, "PauseButton");
            ASSERT_TRUE(WaitFor([&] { return clip.LastPlayState == t.state; }, 5));
            EXPECT_TRUE(C<QPushButton>(clip, t.pressed)->isChecked()) << t.pressed;
        }
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, AClickOnTheSeekBarGoesWhereItWasClickedAndSeeksOnRelease) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({MakeSteps(dir.path() / "steps.wav", 6, 1.0)});
    Edit(*app, [&](TClipForm& clip) {
        StartPlaying(clip);
        auto* bar = C<QSlider>(clip, "trackbar2");
        const QPoint at = GroovePoint(bar, 0.75);
        QTest::mousePress(bar, Qt::LeftButton, {}, at);
        EXPECT_TRUE(SliderHandle(bar).contains(at));
        EXPECT_TRUE(clip.SeekBarDragging);
        const int held = bar->value();
        EXPECT_NEAR(held, 750, 20);
        // Held: nothing seeks, and the position leaves the handle under the mouse.
        EXPECT_NEAR(Frequency(Hear(8820)), 400, 5);
        EXPECT_EQ(bar->value(), held);
        // Dragged along the groove, the handle follows; the release seeks there.
        const QPoint to = GroovePoint(bar, 0.42);
        QTest::mouseMove(bar, to);
        EXPECT_TRUE(SliderHandle(bar).contains(to));
        QTest::mouseRelease(bar, Qt::LeftButton, {}, to);
        EXPECT_FALSE(clip.SeekBarDragging);
        const double target = 6.0 * bar->value() / 1000;
        const auto heard = Hear(17640);
        EXPECT_NEAR(Frequency({heard.end() - 8820, heard.end()}), 400 + 300 * std::floor(target + 0.3), 5);
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, TheContentsFollowTheWindowsSizeAndNoCaptionIsCutOrCovered) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    auto app = StartWith({MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 6.0, 44100, 2))});
    Edit(*app, [&](TClipForm& clip) {
        WaitOpen(clip);
        Type(clip, "TimeStart", "spSkinSpeedButton1", "00:00:01");
        Type(clip, "TimeEnd", "spSkinSpeedButton2", "00:00:04");
        QSize previewAtMinimum;
        for (const QSize size : {QSize(1, 1), QSize(1200, 900)}) {
            SCOPED_TRACE(size.width());
            clip.resize(size);
            QApplication::processEvents();
            QWidget* trimBar = C<QWidget>(clip, "panTrimBar");
            std::vector<QWidget*> parts{C<QWidget>(clip, "panPreview"), trimBar};
            for (QWidget* w : clip.findChildren<QWidget*>()) {
                if (!w->isVisible() || !(qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) ||
                    trimBar->isAncestorOf(w))
                    continue;
                EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
                EXPECT_GE(w->height(), w->sizeHint().height()) << w->objectName().toStdString();
                parts.push_back(w);
            }
            for (size_t i = 0; i < parts.size(); ++i)
                for (size_t j = i + 1; j < parts.size(); ++j)
                    EXPECT_FALSE(QRect(parts[i]->mapTo(&clip, QPoint()), parts[i]->size())
                                     .intersects(QRect(parts[j]->mapTo(&clip, QPoint()), parts[j]->size())))
                        << parts[i]->objectName().toStdString() << " covers "
                        << parts[j]->objectName().toStdString();
            // The bar spans the window, the handles stay at the range, the buttons at the bottom right.
            EXPECT_EQ(clip.BarScale(), clip.width() - 37);
            // The seek bar's handle stands over the trim handles' centre of the same time.
            auto* bar = C<QSlider>(clip, "trackbar2");
            for (int value : {0, 500, 1000}) {
                bar->setValue(value);
                const QRect handle = SliderHandle(bar);
                const int centre = bar->x() + handle.x() + handle.width() / 2;
                EXPECT_NEAR(centre, clip.HandleX(6'000'000LL * value / 1000) + 6, 1)
                    << value;
            }
            EXPECT_EQ(X(clip, "imgTrimLeft"), clip.HandleX(1'000'000));
            EXPECT_EQ(X(clip, "imgTrimRight"), clip.HandleX(4'000'000));
            EXPECT_EQ(C<TOverviewPanel>(clip, "panOverview")->RangeLeft(), X(clip, "imgTrimLeft") - 10);
            const QWidget* cancel = C<QWidget>(clip, "spSkinButton5");
            EXPECT_EQ(cancel->mapTo(&clip, QPoint()).x() + cancel->width(), clip.width() - 16);
            EXPECT_NEAR(cancel->mapTo(&clip, QPoint()).y() + cancel->height(), clip.height() - 14, 1);
            if (previewAtMinimum.isEmpty())
                previewAtMinimum = C<QWidget>(clip, "panPreview")->size();
            else
                EXPECT_GT(C<QWidget>(clip, "panPreview")->height(), previewAtMinimum.height() + 300);
        }
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, AQuietFilesOverviewFillsAVisiblePartOfItsHeight) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    // 0.01 of full scale: -40 dBFS.
    auto app = StartWith({MakeTone(dir.path(), "quiet.wav", Tone(440, 0.01, 3.0, 44100, 2))});
    Edit(*app, [&](TClipForm& clip) {
        WaitOpen(clip);
        auto* overview = C<TOverviewPanel>(clip, "panOverview");
        ASSERT_TRUE(WaitFor([&] { return !clip.WaveOverview.Busy(); }, 10));
        ASSERT_FALSE(overview->Peaks().empty());
        Click(clip, "spSkinButton6");  // Reset: every column lies in the range
        const QImage shot = overview->grab().toImage();
        for (int c : {5, 100, 228, 400}) {
            const int peak = ColumnPixels(shot, c, TOverviewPanel::kRangePeak);
            EXPECT_GE(peak, shot.height() / 4) << "column " << c;
            EXPECT_LT(peak, shot.height() / 2) << "column " << c << ": drawn like a loud file";
        }
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(TrimEditorTest, AFileWithoutADurationSaysLengthUnknownInPlaceOfTheOverviewAndStillPlays) {
    CancelErrors();
    testmedia::ScopedTempDir dir("trim");
    testmedia::ToneShape live = Tone(440, 0.5, 3.0, 44100, 2);
    live.live = true;  // Matroska written as a stream: no duration
    auto app = StartWith({MakeTone(dir.path(), "live.mka", live)});
    Edit(*app, [&](TClipForm& clip) {
        ASSERT_TRUE(WaitFor([&] { return clip.LastPlayState == psPlay; }, 10));
        EXPECT_LE(clip.Duration(), 0);
        auto* overview = C<TOverviewPanel>(clip, "panOverview");
        EXPECT_EQ(overview->Text(), "length unknown");
        EXPECT_TRUE(C<QPushButton>(clip, "spSkinButton4")->isEnabled()) << clip.TrimStart << " " << clip.TrimEnd;
        EXPECT_FALSE(clip.WaveOverview.Busy());
        const QImage shot = overview->grab().toImage();
        int drawn = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) drawn += shot.pixelColor(x, y) != TOverviewPanel::kBackground;
        EXPECT_GT(drawn, 20) << "the text is not drawn";
        Click(clip, "PlayButton");
        const auto heard = Hear(17640);
        EXPECT_NEAR(Frequency({heard.end() - 8820, heard.end()}), 440, 5);
        Click(clip, "spSkinButton5");
    });
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}
