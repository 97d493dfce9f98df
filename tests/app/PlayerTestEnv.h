// Surroundings of the suites that play through the program's players: the SDL copies in a private
// folder of the test, and SDL's disk driver capturing in real time what would be heard.
#pragma once

#include <sys/stat.h>

#include <QFileInfo>
#include <QTest>
#include <algorithm>
#include <cmath>

#include "JobTestEnv.h"
#include "SeekSlider.h"

// A stereo 44.1 kHz file of ASeconds whose frequency steps every AStep seconds: 400, 700, 1000 ...
// Hz (the step k from k * AStep on sounds 400 + 300 * k Hz). The codec follows the extension.
inline std::filesystem::path MakeSteps(const std::filesystem::path& AFile, int ASeconds, double AStep) {
    std::vector<float> samples;
    const int stepFrames = static_cast<int>(AStep * 44100);
    for (int i = 0; i < ASeconds * 44100; ++i) {
        const float v = 0.5f * static_cast<float>(std::sin(2 * M_PI * (400 + 300 * (i / stepFrames)) * i / 44100.0));
        samples.insert(samples.end(), {v, v});
    }
    testmedia::MakeAudio(AFile, Tone(0, 0, 0, 44100, 2), samples);
    return AFile;
}

class TPlayerTest : public TJobTest {
protected:
    void SetUp() override {
        TJobTest::SetUp();
        QDir().mkpath(Path("runtime"));
        ::chmod(Path("runtime").toUtf8().constData(), 0700);
        qputenv("XDG_RUNTIME_DIR", Path("runtime").toUtf8());
        qputenv("SDL_AUDIODRIVER", "disk");
        qputenv("SDL_DISKAUDIOFILE", Path("capture.raw").toUtf8());
    }
    void TearDown() override {
        for (const char* name : {"XDG_RUNTIME_DIR", "SDL_AUDIODRIVER", "SDL_DISKAUDIOFILE"}) qunsetenv(name);
        TJobTest::TearDown();
    }

    // Starts the program with jobs for AFiles, job ARow - 1 selected.
    std::unique_ptr<TAppWindows> StartWith(const std::vector<std::filesystem::path>& AFiles, int ARow = 1) {
        auto app = Start();
        AddThroughDialog(*app->MainForm, AFiles);
        EXPECT_EQ(app->MainForm->AudioFiles.size(), AFiles.size());
        app->MainForm->SetCurrentRow(ARow);
        return app;
    }

    // Stereo frames captured so far (what has been heard).
    size_t Frames() const {
        const QFileInfo f(Path("capture.raw"));
        return f.exists() ? static_cast<size_t>(f.size()) / 4 : 0;
    }
    // Pumps until AFrames more frames were heard; answers the frames heard meanwhile.
    std::vector<int16_t> Hear(size_t AFrames) {
        const size_t from = Frames();
        EXPECT_TRUE(WaitFor([&] { return Frames() >= from + AFrames; }, 10)) << "the capture stopped";
        const auto all = testmedia::ReadCapture(Path("capture.raw").toStdString());
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), from * 2)), all.end()};
    }
    static double Frequency(const std::vector<int16_t>& ASamples) {
        testmedia::DecodedAudio a;
        a.sampleRate = 44100;
        a.channels = 2;
        for (int16_t s : ASamples) a.samples.push_back(s / 32768.0f);
        return testmedia::DominantFrequency(a);
    }
    static bool Silent(const std::vector<int16_t>& ASamples) {
        return std::all_of(ASamples.begin(), ASamples.end(), [](int16_t s) { return s == 0; });
    }
    // The capture no longer grows.
    bool Stopped() {
        const size_t frames = Frames();
        QTest::qWait(250);
        return Frames() == frames;
    }
};

// A seek bar's handle as its style draws it, in the bar's coordinates.
inline QRect SliderHandle(const QSlider* ABar) {
    const auto* bar = qobject_cast<const TSeekSlider*>(ABar);
    EXPECT_TRUE(bar) << "not a seek bar";
    return bar ? bar->HandleRect() : QRect();
}
// The point on ABar's groove AShare (0..1) of the way along, midway up.
inline QPoint GroovePoint(const QSlider* ABar, double AShare) {
    return {static_cast<int>(std::lround(AShare * (ABar->width() - 1))), ABar->height() / 2};
}
