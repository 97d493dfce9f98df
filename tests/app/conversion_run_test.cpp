// The conversion run of the main window with the real engine: separate and merged runs, the
// records handed to the encoder, cancel and pause, a task error, the missing output folder, and
// the refusals before a run. Offscreen, generated media, outputs decoded back.
#include <QCheckBox>
#include <QListWidget>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QWindow>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "FFEncode.h"
#include "JobTestEnv.h"
#include "ProbeCache.h"
#include "conversion.h"
#include "errordlg.h"
#include "OutputNaming.h"

namespace fs = std::filesystem;
using testmedia::DecodeAudio;
using testmedia::MakeTone;
using testmedia::ToneShape;

class ConversionRunTest : public TJobTest {
protected:
    void SetUp() override {
        TJobTest::SetUp();
        WriteCatalogue(RunProfiles);
        // Runs into one folder write over the outputs of the run before, without asking.
        WriteSettings([](QSettings& s) { s.setValue("ExistingOutputs", "overwrite"); });
    }

    // Starts the program with jobs for AFiles, job i on profile AProfiles[i].
    std::unique_ptr<TAppWindows> StartWith(const std::vector<fs::path>& AFiles, const std::vector<int>& AProfiles) {
        auto app = Start();
        TMainForm& form = *app->MainForm;
        FindChild<QCheckBox>(&form, "chApplyToAll")->setChecked(false);
        AddThroughDialog(form, AFiles);
        EXPECT_EQ(form.AudioFiles.size(), AFiles.size());
        for (size_t i = 0; i < AProfiles.size() && i < form.AudioFiles.size(); ++i)
            form.AudioFiles[i].ProfileInd = AProfiles[i];
        Output = Path("out");
        QDir().mkpath(Output);
        FindChild<QLineEdit>(&form, "edDestinationFolder")->setText(Output);
        return app;
    }

    // Presses Start; returns when the conversion dialog has closed (or after a minute).
    void RunStart(TAppWindows& AApp) {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            ADD_FAILURE() << "the conversion dialog did not close";
            AApp.ConvForm->CloseForm();
        });
        watchdog.start(90000);
        AApp.MainForm->StartButtonClick();
    }

    static void WaitForEnd(TAppWindows& AApp) {
        EXPECT_TRUE(WaitFor([&] {
            return !AApp.MainForm->FFEncoder->Working() || AApp.MainForm->FFEncoder->Terminated();
        }));
        ProcessPending();
    }

    QString Output;
};

TEST_F(ConversionRunTest, SeparateRunWritesOneFilePerJobWithItsProfileAndTrimmedLength) {
    CancelErrors();
    testmedia::ScopedTempDir dir("run");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 2.0, 44100, 2));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(660, 0.5, 3.0, 44100, 2));
    const fs::path c = MakeTone(dir.path(), "c.flac", Tone(880, 0.5, 1.5, 48000, 1));
    const QByteArray hashes[] = {FileHash(a), FileHash(b), FileHash(c)};
    auto app = StartWith({a, b, c}, {0, 1, 2});
    TMainForm& form = *app->MainForm;
    // Job 2 trimmed to 0.5 s .. 2.0 s.
    form.AudioFiles[1].TimeStart = 500'000;
    form.AudioFiles[1].TimeEnd = 2'000'000;
    form.AudioFiles[1].TrimmedLength = 1'500'000;
    app->ConvForm->cbOpenOutput()->setChecked(true);
    int progressEvents = 0;
    QString lastTitle;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (app->ConvForm->isVisible() && app->ConvForm->ConvertingTitle() != lastTitle) {
            lastTitle = app->ConvForm->ConvertingTitle();
            ++progressEvents;
        }
    });
    watch.start(1);
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    const int64_t probes = TProbeCache::Global().Stores(), reused = TProbeCache::Global().Hits();

    RunStart(*app);
    WaitForEnd(*app);

    // The tasks opened the files with what the job list's probe found.
    EXPECT_EQ(TProbeCache::Global().Stores(), probes);
    EXPECT_GE(TProbeCache::Global().Hits(), reused + 3);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    EXPECT_TRUE(Messages.empty()) << MessageTexts().join("; ").toStdString();
    EXPECT_FALSE(app->ConvForm->isVisible());
    EXPECT_GE(progressEvents, 1);
    const QStringList log = LogLines(*app, logStart);
    EXPECT_EQ(log, (QStringList{"-> Started conversion", "-> Conversion successfully done."}));
    EXPECT_EQ(Opened, QList<QUrl>{QUrl::fromLocalFile(Output)});
    EXPECT_TRUE(form.InputOptionsList.empty());
    EXPECT_TRUE(form.OutputOptionsList.empty());

    const fs::path out = Output.toStdString();
    struct TExpected {
        const char* file;
        int rate, channels;
        const char* codec;
        double seconds, secondsTolerance, frequency, frequencyTolerance;
    } expected[] = {{"a.wav", 22050, 1, "pcm_s16le", 2.0, 0.01, 440, 2},
                    {"b.flac", 48000, 2, "flac", 1.5, 0.03, 660, 2},
                    {"c.mp3", 44100, 1, "mp3", 1.5, 0.06, 880, 3}};
    for (const TExpected& e : expected) {
        SCOPED_TRACE(e.file);
        const auto a = DecodeAudio(out / e.file);
        EXPECT_EQ(a.sampleRate, e.rate);
        EXPECT_EQ(a.channels, e.channels);
        EXPECT_EQ(a.codecName, e.codec);
        EXPECT_NEAR(a.seconds(), e.seconds, e.secondsTolerance);
        EXPECT_NEAR(testmedia::DominantFrequency(a), e.frequency, e.frequencyTolerance);
    }

    // The sources are untouched.
    EXPECT_EQ(FileHash(a), hashes[0]);
    EXPECT_EQ(FileHash(b), hashes[1]);
    EXPECT_EQ(FileHash(c), hashes[2]);

    // A second run reuses the dialog: the check box kept its state.
    EXPECT_TRUE(app->ConvForm->cbOpenOutput()->isChecked());
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_EQ(LogLines(*app, logStart).count("-> Conversion successfully done."), 2);
}

TEST_F(ConversionRunTest, MergeRunWritesJoinedWithTheSelectedJobsProfileAndTheSummedLength) {
    CancelErrors();
    testmedia::ScopedTempDir dir("merge");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 1.0, 44100, 2));
    const fs::path b = MakeTone(dir.path(), "b.flac", Tone(440, 0.5, 1.5, 48000, 1));
    const fs::path c = MakeTone(dir.path(), "c.wav", Tone(440, 0.5, 0.5, 22050, 2));
    auto app = StartWith({a, b, c}, {0, 1, 0});
    TMainForm& form = *app->MainForm;
    FindChild<QCheckBox>(&form, "chMerge")->setChecked(true);
    form.AudioFiles[0].TimeStart = 500'000;  // trim ranges are not applied when merging
    form.SetCurrentRow(2);

    RunStart(*app);
    WaitForEnd(*app);

    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    EXPECT_TRUE(Messages.empty()) << MessageTexts().join("; ").toStdString();
    const fs::path joined = fs::path(Output.toStdString()) / "Joined.flac";
    ASSERT_TRUE(fs::exists(joined));
    const auto audio = DecodeAudio(joined);
    EXPECT_EQ(audio.sampleRate, 48000);
    EXPECT_EQ(audio.channels, 2);
    EXPECT_EQ(audio.codecName, "flac");
    EXPECT_NEAR(audio.seconds(), 3.0, 0.06);
    EXPECT_EQ(fs::directory_iterator(Output.toStdString()) != fs::directory_iterator(), true);
    EXPECT_FALSE(fs::exists(fs::path(Output.toStdString()) / "a.wav"));
    EXPECT_TRUE(LogLines(*app).contains("-> Conversion successfully done."));
}

TEST_F(ConversionRunTest, MergeOfMoreThanTwentyFilesIsRefused) {
    CancelErrors();
    testmedia::ScopedTempDir dir("merge");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 0.2, 8000, 1));
    auto app = StartWith(std::vector<fs::path>(21, a), {});
    FindChild<QCheckBox>(app->MainForm.get(), "chMerge")->setChecked(true);
    app->MainForm->StartButtonClick();
    EXPECT_EQ(MessageTexts(), QStringList{"Cannot merge more than 20 files."});
    EXPECT_EQ(Messages[0].Kind, mkWarning);
    EXPECT_FALSE(LogLines(*app).contains("-> Started conversion"));
    EXPECT_EQ(app->MainForm->FFEncoder->TasksCount(), 0);
}

TEST_F(ConversionRunTest, RecordsCarryTheTrimRangeAndVolumeAndAFailedAddTaskReportsIt) {
    testmedia::ScopedTempDir dir("records");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 30.0, 8000, 1));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(440, 0.5, 1.0, 8000, 1));
    CancelErrors();
    auto app = StartWith({a, b}, {0, 1});
    TMainForm& form = *app->MainForm;
    form.AudioFiles[0].TimeStart = 10'000'000;
    form.AudioFiles[0].TimeEnd = 25'000'000;
    FindChild<QSpinBox>(&form, "edVolume")->setValue(1);
    fs::remove(b);  // the second job's source is gone: its task cannot be added
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    form.StartButtonClick();

    ASSERT_EQ(form.InputOptionsList.size(), 2u);
    EXPECT_EQ(form.InputOptionsList[0].FileName, a.string());
    EXPECT_EQ(form.InputOptionsList[0].TimeStart, 10'000'000);
    const TOutputOptions& o = form.OutputOptionsList[0];
    EXPECT_EQ(o.TimeLength, 15'000'000);
    EXPECT_EQ(o.AudioVolume, 3);
    EXPECT_EQ(o.FileName, (Output + "/a.wav").toStdString());
    EXPECT_EQ(o.FileExt, ".wav");
    EXPECT_EQ(o.AudioCodec, "pcm_s16le");
    EXPECT_EQ(o.AudioChannels, 1);
    EXPECT_EQ(o.AudioSampleRate, 22050);
    EXPECT_EQ(o.AudioBitrate, 128000);
    EXPECT_TRUE(o.DisableVideo);
    EXPECT_EQ(o.Info.TimeStamp, 0);
    EXPECT_FALSE(o.Join);
    EXPECT_EQ(form.OutputOptionsList[1].AudioVolume, 3);

    // The add failure: error dialog with the encoder's message, its log line, no run.
    ASSERT_EQ(ErrorMessages.size(), 1);
    EXPECT_EQ(ErrorMessages[0], QString::fromStdString(form.FFEncoder->LastErrMsg()));
    EXPECT_FALSE(ErrorMessages[0].isEmpty());
    EXPECT_EQ(LogLines(*app, logStart), QStringList{"-> " + ErrorMessages[0]});
    EXPECT_FALSE(form.FFEncoder->Working());

    // 100 % is 256, 5000 % is 12800.
    FindChild<QSpinBox>(&form, "edVolume")->setValue(5000);
    form.AudioFiles.pop_back();
    form.AudioFilesModel()->Reload();
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(LogLines(*app).contains("-> Conversion successfully done."));
    const auto out = DecodeAudio(fs::path(Output.toStdString()) / "a.wav");
    EXPECT_NEAR(out.seconds(), 15.0, 0.01);
}

TEST_F(ConversionRunTest, CancelStopsTheRunWithoutTheEndOfRunActionsAndPauseTogglesTheCaption) {
    CancelErrors();
    testmedia::ScopedTempDir dir("cancel");
    std::vector<fs::path> files;
    for (const char* name : {"a.wav", "b.wav", "c.wav"})
        files.push_back(MakeTone(dir.path(), name, Tone(440, 0.5, 240.0, 48000, 2)));
    auto app = StartWith(files, {2, 2, 2});
    TConvForm& conv = *app->ConvForm;
    conv.cbOpenOutput()->setChecked(true);
    QStringList captions;
    bool cancelled = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (cancelled || !conv.isVisible() || conv.ConvertingTitle() == "Converting...") return;
        // Running: pause, resume, then cancel.
        conv.PauseButton()->click();
        captions << conv.PauseButton()->text();
        EXPECT_TRUE(app->MainForm->FFEncoder->Paused());
        conv.PauseButton()->click();
        captions << conv.PauseButton()->text();
        cancelled = true;
        conv.CancelButton()->click();
    });
    driver.start(5);
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);

    EXPECT_TRUE(cancelled);
    EXPECT_EQ(captions, (QStringList{"Resume", "Pause"}));
    EXPECT_FALSE(conv.isVisible());
    EXPECT_EQ(LogLines(*app, logStart), (QStringList{"-> Started conversion", "-> Conversion cancelled by user"}));
    EXPECT_TRUE(Opened.isEmpty());  // a cancelled run does not open the output folder
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    EXPECT_FALSE(fs::exists(fs::path(Output.toStdString()) / "c.mp3") &&
                 fs::file_size(fs::path(Output.toStdString()) / "c.mp3") > 1000);
}

TEST_F(ConversionRunTest, TwoSimultaneousConversionsGiveTheOutputsOfOneAtATimeWithARowEach) {
    CancelErrors();
    testmedia::ScopedTempDir dir("simultaneous");
    std::vector<fs::path> files;
    for (int i = 0; i < 4; ++i)
        files.push_back(MakeTone(dir.path(), "t" + std::to_string(i) + ".wav", Tone(300 + 100 * i, 0.5, 150.0, 44100, 1)));
    auto app = StartWith(files, {2, 2, 2, 2});
    TMainForm& form = *app->MainForm;
    form.FFEncoder->SetProgressInterval(100);
    auto* simultaneous = FindChild<QSpinBox>(&form, "edSimultaneous");
    simultaneous->setMaximum(2);
    size_t mostRows = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (app->ConvForm->isVisible()) mostRows = std::max(mostRows, app->ConvForm->JobBars().size() + 1);
    });
    watch.start(5);
    std::vector<testmedia::DecodedAudio> outputs[3];
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        simultaneous->setValue(threads);
        mostRows = 0;
        const int logStart = static_cast<int>(app->LogForm->Lines().size());
        RunStart(*app);
        WaitForEnd(*app);
        EXPECT_EQ(LogLines(*app, logStart), (QStringList{"-> Started conversion", "-> Conversion successfully done."}));
        EXPECT_EQ(mostRows, static_cast<size_t>(threads));
        for (const fs::path& f : files) {
            const fs::path out = fs::path(Output.toStdString()) / f.filename().replace_extension(".mp3");
            outputs[threads].push_back(DecodeAudio(out));
            fs::rename(out, fs::path(out).replace_extension(".run" + std::to_string(threads)));
        }
    }
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(outputs[1][i].samples, outputs[2][i].samples) << i;
        EXPECT_NEAR(testmedia::DominantFrequency(outputs[2][i]), 300 + 100 * i, 3);
    }

    // Cancel while two convert stops both and leaves nothing of theirs in the folder: what is
    // there is a job that had ended, whole.
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        if (app->ConvForm->isVisible() && app->ConvForm->JobBars().size() == 1) app->ConvForm->CancelButton()->click();
    });
    cancel.start(5);
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_EQ(LogLines(*app, logStart), (QStringList{"-> Started conversion", "-> Conversion cancelled by user"}));
    int whole = 0;
    for (const auto& entry : fs::directory_iterator(Output.toStdString())) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".run1" || ext == ".run2") continue;
        EXPECT_EQ(ext, ".mp3") << entry.path();
        EXPECT_NEAR(DecodeAudio(entry.path()).seconds(), 150.0, 0.1) << entry.path();
        ++whole;
    }
    EXPECT_LT(whole, 3);
}

TEST_F(ConversionRunTest, ATaskErrorShowsInTheDialogWhileTheRunGoesOnAndIsReportedOnceAtTheEnd) {
    testmedia::ScopedTempDir dir("taskerror");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 1.0, 44100, 2));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(440, 0.5, 1.0, 44100, 2));
    const fs::path c = MakeTone(dir.path(), "c.wav", Tone(440, 0.5, 1.0, 44100, 2));
    auto app = StartWith({a, b, c}, {0, 2, 0});
    TMainForm& form = *app->MainForm;
    // The MP3 writer refuses a PCM stream when the task writes the file's header.
    form.Profiles[2].AudioCodecName = "pcm_s16le";
    form.AudioFiles[2].DestinationTitle = "c3";
    app->ConvForm->cbOpenOutput()->setChecked(true);
    // No box stops the run's view: the failure shows in the conversion dialog, and the error
    // dialog comes once the run has ended, with the dialog closed and its bars gone.
    bool afterRun = false;
    AnswerModals([&](QWidget* AModal) {
        auto* error = qobject_cast<TErrorForm*>(AModal);
        if (!error) return;
        ErrorMessages << error->lblErrorText()->text();
        afterRun = !app->ConvForm->isVisible() && app->ConvForm->JobBars().empty() &&
                   error->windowModality() == Qt::ApplicationModal;
        error->spSkinButton1()->click();
    });
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);

    EXPECT_FALSE(app->ConvForm->isVisible());
    ASSERT_EQ(ErrorMessages.size(), 1) << LogLines(*app, logStart).join("\n").toStdString()
                                       << MessageTexts().join("; ").toStdString();
    EXPECT_TRUE(afterRun);
    EXPECT_TRUE(app->ConvForm->lblFailures()->text().contains("job 2 (\"b.wav\")\nfailed; the run goes on."))
        << app->ConvForm->lblFailures()->text().toStdString();
    EXPECT_TRUE(ErrorMessages[0].startsWith("Conversion terminated with error: job 2 (\"b.wav\"): "))
        << ErrorMessages[0].toStdString();
    const QStringList log = LogLines(*app, logStart);
    EXPECT_EQ(log, (QStringList{"-> Started conversion", "-> " + ErrorMessages[0],
                                "-> Conversion finished with errors: 1 of 3 jobs failed."}));
    EXPECT_TRUE(Opened.isEmpty());
    EXPECT_TRUE(fs::exists(fs::path(Output.toStdString()) / "a.wav"));
    EXPECT_NEAR(DecodeAudio(fs::path(Output.toStdString()) / "c3.wav").seconds(), 1.0, 0.01);  // the run went on
}

TEST_F(ConversionRunTest, AnUntrimmedJobConvertsTheWholeInputWhateverItsProbedLength) {
    CancelErrors();
    testmedia::ScopedTempDir dir("whole");
    const fs::path vbr = testmedia::MakeVbrMp3WithoutXing(dir.path());
    auto app = StartWith({vbr}, {0});
    ASSERT_EQ(app->MainForm->AudioFiles.size(), 1u);
    ASSERT_LT(app->MainForm->AudioFiles[0].TrimmedLength, 8'000'000);  // the probe underestimates it
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    const auto out = DecodeAudio(fs::path(Output.toStdString()) / "vbr.wav");
    EXPECT_NEAR(out.seconds(), DecodeAudio(vbr).seconds(), 0.01);
    EXPECT_NEAR(testmedia::DominantFrequency(out, 0, 10, 1), 440, 3);
}

TEST_F(ConversionRunTest, MissingOutputFolderWarnsAndConvertsIntoTheFallbackFolder) {
    CancelErrors();
    testmedia::ScopedTempDir dir("fallback");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 0.5, 44100, 2));
    auto app = StartWith({a}, {0});
    TMainForm& form = *app->MainForm;
    FindChild<QLineEdit>(&form, "edDestinationFolder")->setText(Path("gone"));
    app->ConvForm->cbOpenOutput()->setChecked(true);
    const QString fallback = Path("tmp") + QString("/quendral_temp-%1").arg(getuid());
    EXPECT_EQ(TMainForm::FallbackOutputFolder(), fallback);
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_EQ(MessageTexts(), QStringList{"Output folder does not exit. Converting to \"" + fallback + "\"."});
    EXPECT_EQ(Messages[0].Kind, mkWarning);
    EXPECT_EQ(form.OutputFolder, fallback);
    EXPECT_NEAR(DecodeAudio(fs::path(fallback.toStdString()) / "a.wav").seconds(), 0.5, 0.01);
    EXPECT_EQ(Opened, QList<QUrl>{QUrl::fromLocalFile(fallback)});
    struct stat st {};
    ASSERT_EQ(lstat(fallback.toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the user's alone";

    // A link planted in its place is refused, never written through: the second warning, no run.
    Messages.clear();
    ASSERT_TRUE(QDir(fallback).removeRecursively());
    QDir().mkpath(Path("elsewhere"));
    ASSERT_TRUE(QFile::link(Path("elsewhere"), fallback));
    form.StartButtonClick();
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1].Text, "Could not create temporary directory. Please choose another output folder.");
    EXPECT_TRUE(QDir(Path("elsewhere")).isEmpty());

    // A fallback folder that cannot be made: the second warning and no run.
    Messages.clear();
    QFile blocker(Path("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("TMPDIR", Path("blocker").toUtf8());
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    form.StartButtonClick();
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1].Text, "Could not create temporary directory. Please choose another output folder.");
    EXPECT_TRUE(LogLines(*app, logStart).isEmpty());
}

TEST_F(ConversionRunTest, AJobWritingOverItsSourceIsRefusedBeforeAnythingStartsAndTwoJobsOnOneNameAreNumberedApart) {
    CancelErrors();
    testmedia::ScopedTempDir dir("refuse");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 0.5, 22050, 1));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(440, 0.5, 0.5, 22050, 1));
    const QByteArray hashA = FileHash(a);
    auto app = StartWith({a, b}, {1, 0});
    TMainForm& form = *app->MainForm;

    // Job 2 writes b.wav into the folder it comes from.
    FindChild<QLineEdit>(&form, "edDestinationFolder")->setText(Q(dir.path()));
    form.StartButtonClick();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Kind, mkWarning);
    EXPECT_TRUE(Messages[0].Text.contains("job 2 (\"b.wav\")")) << Messages[0].Text.toStdString();
    EXPECT_TRUE(Messages[0].Text.contains("own source file")) << Messages[0].Text.toStdString();
    EXPECT_EQ(form.FFEncoder->TasksCount(), 0);
    EXPECT_FALSE(LogLines(*app).contains("-> Started conversion"));
    EXPECT_TRUE(LogLines(*app).contains("-> " + Messages[0].Text));

    // Two jobs onto one output name: the second is numbered apart.
    Messages.clear();
    FindChild<QLineEdit>(&form, "edDestinationFolder")->setText(Output);
    form.AudioFiles[1].ProfileInd = 1;
    form.AudioFiles[1].DestinationTitle = "a";
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(Messages.empty()) << MessageTexts().join("; ").toStdString();
    EXPECT_NEAR(DecodeAudio(fs::path(Output.toStdString()) / "a.flac").seconds(), 0.5, 0.01);
    EXPECT_NEAR(DecodeAudio(fs::path(Output.toStdString()) / "a (2).flac").seconds(), 0.5, 0.01);
    EXPECT_EQ(FileHash(a), hashA);
    fs::remove(fs::path(Output.toStdString()) / "a.flac");
    fs::remove(fs::path(Output.toStdString()) / "a (2).flac");

    // A profile value that is not a number: a clear message and no run.
    Messages.clear();
    form.AudioFiles[1].DestinationTitle = "b";
    form.AudioFiles[1].ProfileInd = 3;
    const int tasks = form.FFEncoder->TasksCount();  // the ended run's
    form.StartButtonClick();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Kind, mkError);
    EXPECT_TRUE(Messages[0].Text.contains("\"Not numbers\"")) << Messages[0].Text.toStdString();
    EXPECT_TRUE(Messages[0].Text.contains("not a whole number")) << Messages[0].Text.toStdString();
    EXPECT_EQ(form.FFEncoder->TasksCount(), tasks);
    EXPECT_FALSE(fs::exists(fs::path(Output.toStdString()) / "a.flac"));
    EXPECT_EQ(LogLines(*app).count("-> Started conversion"), 1);
}

TEST_F(ConversionRunTest, ProgressWithUnknownTotalDurationDoesNotFailAndTheLabelNamesTheJob) {
    CancelErrors();
    testmedia::ScopedTempDir dir("progress");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 0.5, 8000, 1));
    auto app = StartWith({a, a}, {0, 1});
    TMainForm& form = *app->MainForm;
    // Tasks exist for the task count the gauges divide by.
    form.FFEncoder->ClearTasks();
    TInputOptions in;
    ASSERT_GE(form.FFEncoder->AddTask(a.string(), &in), 0);
    ASSERT_GE(form.FFEncoder->AddTask(a.string(), &in), 0);
    TConvForm& conv = *app->ConvForm;
    TProgressInfo p;
    p.TaskIndex = 1;
    p.CurrentDuration = 250'000;
    for (int64_t total : {0LL, -1LL}) {
        p.TotalDuration = total;
        form.FFEncoderProgress(&p);
        EXPECT_EQ(conv.ProgressCurrent()->value(), 0);
        EXPECT_EQ(conv.ProgressTotal()->value(), 50);
    }
    p.TotalDuration = 1'000'000;
    form.FFEncoderProgress(&p);
    EXPECT_EQ(conv.ProgressCurrent()->value(), 25);
    EXPECT_EQ(conv.ProgressTotal()->value(), 63);  // 50 + 12.5, rounded
    EXPECT_EQ(conv.ConvertingTitle(), "Converting \"a.wav\" to \"a.flac\"");
    form.FFEncoder->ClearTasks();
}

TEST_F(ConversionRunTest, ChangeChoosesTheOutputFolderAndOpenShowsIt) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    auto* box = FindChild<QLineEdit>(&form, "edDestinationFolder");
    const QString before = box->text();
    ChosenFolder.clear();
    FindChild<QPushButton>(&form, "spSkinButton1")->click();
    EXPECT_EQ(FolderAsked, QStringList{before});
    EXPECT_EQ(box->text(), before);
    ChosenFolder = Path("chosen");
    form.spSkinButton1Click();
    EXPECT_EQ(box->text(), Path("chosen"));
    FindChild<QPushButton>(&form, "spSkinButton3")->click();
    EXPECT_EQ(Opened, QList<QUrl>{QUrl::fromLocalFile(Path("chosen"))});
}

TEST_F(ConversionRunTest, TheProfilesExtraOptionsReachTheEncoder) {
    CancelErrors();
    testmedia::ScopedTempDir dir("ringtone");
    const fs::path a = MakeTone(dir.path(), "ring.wav", Tone(440, 0.5, 1.0, 44100, 2));
    auto app = StartWith({a}, {4});
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    const auto m4r = DecodeAudio(fs::path(Output.toStdString()) / "ring.m4r");
    EXPECT_EQ(m4r.codecName, "aac");
    EXPECT_NEAR(m4r.seconds(), 1.0, 0.05);
}

TEST_F(ConversionRunTest, ALoudnessTargetBringsQuietAndLoudJobsToItAndIsStored) {
    CancelErrors();
    testmedia::ScopedTempDir dir("loudness");
    const fs::path quiet = MakeTone(dir.path(), "quiet.wav", Tone(1000, 0.03, 3.0, 44100, 2));
    const fs::path loud = MakeTone(dir.path(), "loud.wav", Tone(1000, 1.0, 3.0, 44100, 2));
    // A mono output at another rate (the meter follows the output) and a stereo one at 48 kHz.
    auto app = StartWith({quiet, loud}, {0, 1});
    TMainForm& form = *app->MainForm;
    auto* loudness = FindChild<QComboBox>(&form, "cmbLoudness");
    ASSERT_EQ(loudness->itemText(3), "-23 LUFS (EBU R128 broadcast)");
    loudness->setCurrentIndex(3);
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    for (const char* name : {"quiet.wav", "loud.flac"})
        EXPECT_NEAR(testmedia::CliLoudness(fs::path(Output.toStdString()) / name).integrated, -23.0, 0.5) << name;
    const QStringList lines = LogLines(*app, logStart);
    ASSERT_EQ(lines.size(), 4) << lines.join("\n").toStdString();
    EXPECT_TRUE(lines[1].startsWith("-> Loudness (-23 LUFS (EBU R128 broadcast)) of job ")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(" LUFS, sample peak ") && lines[1].contains(" dB")) << lines[1].toStdString();
    // At -23 LUFS both jobs' sample peaks stay far below the limit: no true-peak pass.
    EXPECT_TRUE(lines[2].contains(" LUFS, sample peak ")) << lines[2].toStdString();

    form.close();
    app.reset();
    EXPECT_EQ(QSettings("Quendral", "Quendral Audio Converter").value("Loudness").toInt(), 3);
    auto again = Start();
    EXPECT_EQ(FindChild<QComboBox>(again->MainForm.get(), "cmbLoudness")->currentIndex(), 3);
}

static std::string FileText(const fs::path& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(ConversionRunTest, ExistingOutputsAreAskedAboutBeforeTheRunAndThePatternDialogShowsTheSelectedJobsName) {
    testmedia::ScopedTempDir dir("names");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 0.5, 22050, 1));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(440, 0.5, 0.5, 22050, 1));
    auto app = StartWith({a, b}, {0, 0});
    TMainForm& form = *app->MainForm;
    WriteSettings([](QSettings& s) { s.setValue("ExistingOutputs", "ask"); });
    const fs::path out = Output.toStdString();
    for (const char* name : {"a.wav", "b.wav"}) std::ofstream(out / name) << "kept";

    // One dialog lists both clashes; answered one at a time: skip the first, rename the second.
    QStringList listed;
    AnswerModals([&](QWidget* AModal) {
        if (auto* error = qobject_cast<TErrorForm*>(AModal)) {
            ErrorMessages << error->lblErrorText()->text();
            error->spSkinButton1()->click();
            return;
        }
        if (AModal->objectName() != "ExistingOutputsForm") return;
        auto* list = AModal->findChild<QListWidget*>("lstExistingOutputs");
        for (int i = 0; i < list->count(); ++i) listed << list->item(i)->text();
        AModal->findChild<QCheckBox*>("chForAll")->setChecked(false);
        AModal->findChild<QPushButton*>("btnSkip")->click();
        AModal->findChild<QPushButton*>("btnRename")->click();
    });
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_EQ(listed, (QStringList{Output + "/a.wav", Output + "/b.wav"}));
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    EXPECT_EQ(FileText(out / "a.wav"), "kept");
    EXPECT_EQ(FileText(out / "b.wav"), "kept");
    EXPECT_NEAR(DecodeAudio(out / "b (2).wav").seconds(), 0.5, 0.01);
    EXPECT_FALSE(fs::exists(out / "a (2).wav"));
    const QStringList log = LogLines(*app, logStart);
    EXPECT_TRUE(log.contains("-> Skipped job 1 (\"a.wav\"): the output file \"" + Output + "/a.wav\" exists"))
        << log.join("\n").toStdString();
    EXPECT_TRUE(log.contains("-> Conversion successfully done."));

    // The names dialog: a live example of the selected job's output; a pattern that cannot name
    // files is said so and cannot be kept; the accepted one is what the next run uses.
    form.SetCurrentRow(2);
    QString example, refused;
    bool okRefused = false;
    AnswerModals([&](QWidget* AModal) {
        auto* dialog = qobject_cast<TOutputNamesDialog*>(AModal);
        if (!dialog) return;
        dialog->edNamePattern()->setText("{nope");
        refused = dialog->lblNameExample()->text();
        okRefused = !dialog->OkButton()->isEnabled();
        dialog->edNamePattern()->setText("{folder}/{name} {ext}");
        dialog->cmbExistingOutputs()->setCurrentIndex(3);  // rename
        example = dialog->lblNameExample()->text();
        dialog->OkButton()->click();
    });
    form.OutputNamesClick();
    EXPECT_TRUE(okRefused);
    EXPECT_TRUE(refused.contains("cannot name files")) << refused.toStdString();
    const QString folder = QString::fromStdString(dir.path().filename().string());
    EXPECT_EQ(example, Output + "/" + folder + "/b wav.wav");
    TExistingPolicy policy = epAsk;
    EXPECT_EQ(ReadNamingSettings(&policy).Pattern, "{folder}/{name} {ext}");
    EXPECT_EQ(policy, epRename);
    CancelErrors();
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_NEAR(DecodeAudio(out / folder.toStdString() / "a wav.wav").seconds(), 0.5, 0.01);
    EXPECT_NEAR(DecodeAudio(out / folder.toStdString() / "b wav.wav").seconds(), 0.5, 0.01);

    // A file that takes a planned name during the run (here while the output is verified, just
    // before its rename): the output is numbered past it and the events log says so.
    FindChild<QCheckBox>(&form, "chVerifyOutputs")->setChecked(true);
    const fs::path taken = out / folder.toStdString() / "a wav (2).wav";
    auto forward = form.FFEncoder->OnProgress;
    form.FFEncoder->OnProgress = [&, forward](void* ASender, PProgressInfo AInfo) {
        if (AInfo->Verifying && !fs::exists(taken)) std::ofstream(taken) << "taken";
        forward(ASender, AInfo);
    };
    const int renameLog = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);
    form.FFEncoder->OnProgress = forward;
    EXPECT_EQ(FileText(taken), "taken");
    const QString numbered = QString::fromStdString((out / folder.toStdString() / "a wav (2) (2).wav").string());
    EXPECT_NEAR(DecodeAudio(numbered.toStdString()).seconds(), 0.5, 0.01);
    const QString said = LogLines(*app, renameLog).join("\n");
    EXPECT_TRUE(said.contains("appeared during the run; the output is \"" + numbered + "\"")) << said.toStdString();
}

TEST_F(ConversionRunTest, FoldersOnTheCommandLineAddTheirFilesWithOneSummaryAndKeepTheirTree) {
    CancelErrors();
    testmedia::ScopedTempDir dir("cmdline");
    const fs::path in = dir.path() / "music";
    fs::create_directories(in / "a" / "b");
    MakeTone(in / "a", "one.wav", Tone(440, 0.5, 0.5, 22050, 1));
    MakeTone(in / "a" / "b", "two.wav", Tone(880, 0.5, 0.5, 22050, 1));
    testmedia::MakeTextWithMediaExtension(in);  // notes.mp3: refused
    auto app = StartWith({}, {});
    TMainForm& form = *app->MainForm;
    form.AddCommandLineFiles({Q(in), Q(dir.path() / "missing.wav")});
    ASSERT_EQ(form.AudioFiles.size(), 2u);
    EXPECT_EQ(form.AudioFiles[0].Root, in.string());
    ASSERT_EQ(Messages.size(), 1u) << MessageTexts().join("; ").toStdString();
    EXPECT_TRUE(Messages[0].Text.startsWith("2 of 4 files were not added:")) << Messages[0].Text.toStdString();
    EXPECT_TRUE(Messages[0].Text.contains("missing.wav")) << Messages[0].Text.toStdString();
    EXPECT_TRUE(Messages[0].Text.contains("notes.mp3")) << Messages[0].Text.toStdString();

    // Kept below the output folder as the sources were found.
    WriteSettings([](QSettings& s) { s.setValue("KeepFolders", true); });
    Messages.clear();
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(Messages.empty()) << MessageTexts().join("; ").toStdString();
    const fs::path out = Output.toStdString();
    EXPECT_NEAR(DecodeAudio(out / "a" / "one.wav").seconds(), 0.5, 0.01);
    EXPECT_NEAR(DecodeAudio(out / "a" / "b" / "two.wav").seconds(), 0.5, 0.01);
}

TEST_F(ConversionRunTest, TheVerifyCheckBoxReachesTheRecordsTheJobsBarSaysVerifyingAndTheChoiceIsStored) {
    CancelErrors();
    testmedia::ScopedTempDir dir("verify");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 2.0, 48000, 2));
    auto app = StartWith({a}, {1});
    TMainForm& form = *app->MainForm;
    auto* verify = FindChild<QCheckBox>(&form, "chVerifyOutputs");
    EXPECT_FALSE(verify->isChecked());  // off by default
    verify->setChecked(true);
    // At each progress notice: the record, and the job's bar and label as the user sees them.
    QStringList seen;
    bool recorded = false;
    const TProgressEvent relay = form.FFEncoder->OnProgress;
    form.FFEncoder->OnProgress = [&](void* ASender, PProgressInfo AInfo) {
        relay(ASender, AInfo);
        recorded = !form.OutputOptionsList.empty() && form.OutputOptionsList[0].VerifyOutput;
        seen << app->ConvForm->ProgressCurrent()->format() + " | " + app->ConvForm->ConvertingTitle();
    };
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    RunStart(*app);
    WaitForEnd(*app);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    EXPECT_TRUE(recorded);
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_EQ(seen.back(), "Verifying... %p% | Verifying \"a.flac\"") << seen.join("\n").toStdString();
    EXPECT_TRUE(seen.front().startsWith("%p% | Converting")) << seen.join("\n").toStdString();
    EXPECT_EQ(app->ConvForm->ProgressCurrent()->format(), "%p%");  // the ended job's caption is gone
    EXPECT_TRUE(LogLines(*app, logStart).contains("-> job 1 (\"a.wav\"): verified bit-exact"))
        << LogLines(*app, logStart).join("\n").toStdString();

    form.FFEncoder->OnProgress = relay;
    form.close();
    app.reset();
    EXPECT_EQ(QSettings("Quendral", "Quendral Audio Converter").value("VerifyOutputs").toInt(), 1);
    auto again = Start();
    EXPECT_TRUE(FindChild<QCheckBox>(again->MainForm.get(), "chVerifyOutputs")->isChecked());
}
