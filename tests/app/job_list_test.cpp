// The job list of the main window: adding files through the real probe, dropped files, the
// editing commands, the title editor, the size estimates, the grid's drawing, the start-up
// library loading and the file information dialog. Offscreen, generated media.
#include <fstream>
#include <QTableView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

#include "FFEncode.h"
#include "JobTestEnv.h"
#include "ListGrid.h"
#include "fileinfo.h"

namespace fs = std::filesystem;
using testmedia::MakeTone;
using testmedia::ToneShape;

namespace {

QString Cell(TMainForm& AForm, int AJob, int AColumn) {
    return AForm.AudioFilesModel()->index(AJob, AColumn).data().toString();
}

QStringList Titles(const TMainForm& AForm) {
    QStringList t;
    for (const auto& job : AForm.AudioFiles) t << QString::fromStdString(job.SourceTitleExt);
    return t;
}

// Jobs named after ANames, five minutes long, without media behind them.
void AddFakeJobs(TMainForm& AForm, const QStringList& ANames) {
    for (const QString& name : ANames) {
        TAudioFile job;
        job.Source = "/music/" + name.toStdString();
        job.SourceTitleExt = name.toStdString();
        job.DestinationTitle = name.section('.', 0, 0).toStdString();
        job.TrimmedLength = job.TimeEnd = 300'900'000;
        job.ProfileInd = AForm.CurrentProfileInd;
        AForm.AudioFiles.push_back(job);
    }
    AForm.AudioFilesModel()->Reload();
    AForm.UpdateAllEstimates();
}

}  // namespace

class JobListTest : public TJobTest {};

TEST_F(JobListTest, StartUpLoadsTheMediaLibraries) {
    CancelErrors();
    auto app = Start();
    EXPECT_TRUE(app->MainForm->FFEncoder->AVLibLoaded());
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
    EXPECT_FALSE(LogLines(*app).join("\n").contains("->")) << LogLines(*app).join("\n").toStdString();
}

TEST_F(JobListTest, ThreeFilesOfWhichTheSecondIsNotMediaGiveTwoRowsOneMessageAndTheLogLines) {
    CancelErrors();
    testmedia::ScopedTempDir dir("joblist");
    const fs::path a = MakeTone(dir.path(), "first.wav", Tone(440, 0.5, 2.0, 44100, 2));
    const fs::path notes = testmedia::MakeTextWithMediaExtension(dir.path());
    const fs::path c = MakeTone(dir.path(), "song.live.flac", Tone(880, 0.5, 1.5, 48000, 1));
    auto app = Start();
    TMainForm& form = *app->MainForm;
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    EXPECT_FALSE(FindChild<QPushButton>(&form, "EditButton")->isEnabled());

    AddThroughDialog(form, {a, notes, c});

    ASSERT_EQ(DialogCalls.size(), 1);
    EXPECT_EQ(DialogCalls[0][0], "Open file");
    EXPECT_EQ(DialogCalls[0][1], Path("home/Music"));
    EXPECT_EQ(DialogCalls[0][2], form.dlgopen.Filter);
    EXPECT_EQ(DialogCalls[0][3], "1");
    EXPECT_EQ(form.dlgopen.Files, ChosenFiles);

    ASSERT_EQ(form.AudioFiles.size(), 2u);
    EXPECT_EQ(form.AudioFilesModel()->rowCount(), 2);
    const TAudioFile& first = form.AudioFiles[0];
    EXPECT_EQ(first.Source, a.string());
    EXPECT_EQ(first.SourceTitleExt, "first.wav");
    EXPECT_EQ(first.DestinationTitle, "first");
    EXPECT_EQ(first.Status, "-");
    EXPECT_EQ(first.TrimmedLength, 2'000'000);
    EXPECT_EQ(first.TimeStart, 0);
    EXPECT_EQ(first.TimeEnd, 2'000'000);
    EXPECT_EQ(first.ProfileInd, form.CurrentProfileInd);
    EXPECT_EQ(form.AudioFiles[1].DestinationTitle, "song.live");
    EXPECT_EQ(form.AudioFiles[1].TrimmedLength, 1'500'000);
    // The first shipped profile (MP3, 192 kbit/s): 192 / 8 * 2 / 1024 MB.
    EXPECT_DOUBLE_EQ(first.EstimatedSize, 192.0 / 8 * 2 / 1024);
    EXPECT_EQ(Cell(form, 0, 1), "00:00:02");
    EXPECT_EQ(Cell(form, 0, 2), "0.05 MB");

    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Kind, mkInformation);
    EXPECT_EQ(Messages[0].Text,
              "File notes.mp3 is not a valid media file or its format is not supported.");

    const QStringList log = LogLines(*app, logStart);
    ASSERT_EQ(log.size(), 5) << log.join("\n").toStdString();
    EXPECT_EQ(log[0], "-> Added file " + Q(a));
    EXPECT_EQ(log[1], "");
    EXPECT_TRUE(log[2].startsWith("-> File load error: ")) << log[2].toStdString();
    EXPECT_GT(log[2].size(), QString("-> File load error: ").size());
    EXPECT_EQ(log[3], "");
    EXPECT_EQ(log[4], "-> Added file " + Q(c));
    // The logged lines carry the time before the arrow; the empty lines carry nothing.
    EXPECT_FALSE(app->LogForm->Lines()[logStart].startsWith("->"));
    EXPECT_EQ(app->LogForm->Lines()[logStart + 1], "");

    // The list is shown and its commands are enabled; the first row is current.
    EXPECT_TRUE(FindChild<QWidget>(&form, "GettingStartedPanel")->isHidden());
    EXPECT_EQ(FindChild<QStackedWidget>(&form, "Notebook1")->currentIndex(), 1);
    for (const char* name : {"EditButton", "ClipButton", "SettingsButton", "PlayButton", "PauseButton", "StopButton"})
        EXPECT_TRUE(FindChild<QWidget>(&form, name)->isEnabled()) << name;
    for (const char* name : {"Remove2", "ClearAll2", "Rename2", "MoveUp2", "MoveDown2", "TrimAudio1", "FileInformation1"})
        EXPECT_TRUE(FindChild<QAction>(&form, name)->isEnabled()) << name;
    EXPECT_EQ(form.CurrentRow(), 1);
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
}

TEST_F(JobListTest, CancelledDialogAddsNothingAFileWithoutExtensionKeepsItsNameAndOnesWithoutSoundAreRefused) {
    CancelErrors();
    testmedia::ScopedTempDir dir("joblist");
    const fs::path tone = MakeTone(dir.path(), "tone.wav", Tone(440, 0.5, 1.0, 8000, 1));
    const fs::path noext = dir.path() / "noext";
    fs::copy_file(tone, noext);
    auto app = Start();
    TMainForm& form = *app->MainForm;

    AddThroughDialog(form, {});
    EXPECT_TRUE(form.AudioFiles.empty());
    EXPECT_FALSE(FindChild<QWidget>(&form, "GettingStartedPanel")->isHidden());
    EXPECT_TRUE(form.dlgopen.Files.isEmpty());

    AddThroughDialog(form, {noext, noext});
    ASSERT_EQ(form.AudioFiles.size(), 2u);  // no duplicate check
    EXPECT_EQ(form.AudioFiles[0].DestinationTitle, "noext");
    EXPECT_EQ(form.AudioFiles[1].SourceTitleExt, "noext");

    // A video without sound has nothing to convert: refused with a message, no row.
    AddThroughDialog(form, {testmedia::MakeVideoOnly(dir.path())});
    EXPECT_EQ(form.AudioFiles.size(), 2u);
    EXPECT_EQ(MessageTexts(), QStringList{"File video_only.mp4 has no audio stream: there is nothing to convert."});

    // Noise named .mp3, and a WAV whose header claims 1 Hz: refused when added, not at Start.
    std::string noise(256 * 1024, '\0');
    uint32_t seed = 12345;
    for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    std::ofstream(dir.path() / "noise.mp3", std::ios::binary) << noise;
    const fs::path slow = dir.path() / "one_hertz.wav";
    fs::copy_file(tone, slow);
    {
        std::fstream f(slow, std::ios::in | std::ios::out | std::ios::binary);
        const uint32_t rate = 1, bytes = 2;  // sample rate, and bytes per second of 16-bit mono
        f.seekp(24);
        f.write(reinterpret_cast<const char*>(&rate), 4);
        f.write(reinterpret_cast<const char*>(&bytes), 4);
    }
    Messages.clear();
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    AddThroughDialog(form, {dir.path() / "noise.mp3", slow});
    EXPECT_EQ(form.AudioFiles.size(), 2u);
    EXPECT_EQ(MessageTexts(), (QStringList{"File noise.mp3 is not a valid media file or its format is not supported.",
                                           "File one_hertz.wav is not a valid media file or its format is not supported."}));
    EXPECT_TRUE(LogLines(*app, logStart).filter("claims a sample rate of 1 Hz").size() == 1)
        << LogLines(*app, logStart).join("\n").toStdString();
}

TEST_F(JobListTest, FilesDroppedOnTheListAreAddedLikeChosenOnes) {
    CancelErrors();
    testmedia::ScopedTempDir dir("joblist");
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 1.0, 8000, 1));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(440, 0.5, 1.0, 8000, 1));
    auto app = Start();
    TMainForm& form = *app->MainForm;
    auto* grid = FindChild<QTableView>(&form, "sgList");

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(Q(a)), QUrl::fromLocalFile(Q(dir.path())), QUrl::fromLocalFile(Q(b))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    ProcessPending();

    EXPECT_EQ(Titles(form), (QStringList{"a.wav", "b.wav"}));  // the folder is not a file
    EXPECT_EQ(LogLines(*app).filter("-> Added file").size(), 2);
    EXPECT_TRUE(FindChild<QWidget>(&form, "GettingStartedPanel")->isHidden());
    EXPECT_TRUE(DialogCalls.isEmpty());

    // Text only: not accepted.
    QMimeData text;
    text.setText("hello");
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    refused.ignore();
    QApplication::sendEvent(grid->viewport(), &refused);
    EXPECT_FALSE(refused.isAccepted());
}

TEST_F(JobListTest, HundredsOfFilesKeepTheWindowResponsiveAndAllAreAdded) {
    CancelErrors();
    testmedia::ScopedTempDir dir("joblist");
    const fs::path tone = MakeTone(dir.path(), "t.wav", Tone(440, 0.5, 0.1, 8000, 1));
    std::vector<fs::path> files;
    for (int i = 0; i < 300; ++i) {
        files.push_back(dir.path() / ("t" + std::to_string(i) + ".wav"));
        fs::copy_file(tone, files.back());
    }
    auto app = Start();
    TMainForm& form = *app->MainForm;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(1);
    const auto started = std::chrono::steady_clock::now();
    AddThroughDialog(form, files);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(form.AudioFiles.size(), 300u);
    EXPECT_EQ(form.AudioFiles[299].SourceTitleExt, "t299.wav");
    // The event loop ran between the files, every few milliseconds (timers fired while probing
    // went on).
    EXPECT_GT(ticks, 0) << ms << " ms";
    EXPECT_GE(ticks, ms / 50) << ms << " ms";
}

TEST_F(JobListTest, ARefusedFileMessageIsNeverCoveredAndTheAddLoopIsNotReentered) {
    // Real message boxes: the refusal of the first file stays the dialog the user answers, even
    // past the progress box's delay, and the list commands wait for the add loop.
    SetMessageBox(nullptr);
    testmedia::ScopedTempDir dir("joblist");
    const fs::path notes = testmedia::MakeTextWithMediaExtension(dir.path());
    const fs::path a = MakeTone(dir.path(), "a.wav", Tone(440, 0.5, 0.5, 8000, 1));
    const fs::path b = MakeTone(dir.path(), "b.wav", Tone(440, 0.5, 0.5, 8000, 1));
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.show();
    AddFakeJobs(form, {"old.mp3"});
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    QElapsedTimer shown;
    QStringList boxes, covered;
    bool closing = false, closed = true;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QMessageBox* box = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
        if (!box) return;
        if (QWidget* modal = QApplication::activeModalWidget(); modal != box)
            covered << (modal ? modal->metaObject()->className() : "nothing");
        if (!shown.isValid()) {
            shown.start();
            boxes << box->text();
            if (closing) {
                closed = form.close();
            } else {
                form.StartButtonClick();
                form.ClearAll1Click();
                form.Remove1Click();
            }
        }
        if (shown.elapsed() < 800) return;
        shown.invalidate();
        box->button(QMessageBox::Ok)->click();
    });
    watch.start(5);
    AddThroughDialog(form, {notes, a, b});
    watch.stop();

    EXPECT_EQ(boxes, QStringList{"File notes.mp3 is not a valid media file or its format is not supported."});
    EXPECT_TRUE(covered.isEmpty()) << covered.join("; ").toStdString();
    EXPECT_EQ(Titles(form), (QStringList{"old.mp3", "a.wav", "b.wav"}));
    EXPECT_FALSE(LogLines(*app, logStart).contains("-> Started conversion"));

    // Closing the window meanwhile stops adding at the next file, then closes it.
    closing = true;
    watch.start(5);
    AddThroughDialog(form, {notes, a});
    watch.stop();
    EXPECT_FALSE(closed);
    EXPECT_EQ(form.AudioFiles.size(), 3u);
    EXPECT_TRUE(WaitFor([&] { return !form.isVisible(); }, 5));
}

TEST_F(JobListTest, EstimatesFollowTheProfileAndItsKindAndANonNumericRateKeepsTheOldValue) {
    WriteCatalogue(RunProfiles);
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    FindChild<QCheckBox>(&form, "chApplyToAll")->setChecked(false);
    auto* profile = FindChild<QComboBox>(&form, "cmbProfile");
    auto choose = [&](int ARow, int AProfile) {
        form.SetCurrentRow(ARow);
        profile->setCurrentIndex(AProfile);
        form.cmbProfileClick();
    };
    form.SelectProfile(2);  // MP3 mono, 128000 bit/s
    AddFakeJobs(form, {"a.wav", "b.wav", "c.wav"});
    // 128000 bit/s for 5 min 0.9 s: 128 / 8 * 300 / 1024 = 4.6875.
    for (int j = 0; j < 3; ++j) {
        EXPECT_DOUBLE_EQ(form.AudioFiles[static_cast<size_t>(j)].EstimatedSize, 4.6875);
        EXPECT_EQ(Cell(form, j, 2), "4.69 MB");
    }

    // PCM writes rate x channels x 16 bits whatever its nominal bit rate; lossless a typical
    // share of that. Only the moved job's estimate changes.
    const struct {
        int Profile;
        const char* Size;
    } kinds[] = {{0, "12.92 MB"},   // 22050 Hz mono s16: 352.8 kbit/s
                 {1, "33.75 MB"}};  // FLAC 48000 Hz stereo: 60 % of 1536 kbit/s
    for (const auto& k : kinds) {
        choose(3, k.Profile);
        EXPECT_EQ(Cell(form, 2, 2), k.Size);
        EXPECT_EQ(Cell(form, 0, 2), "4.69 MB");
    }
    EXPECT_EQ(Cell(form, 2, 4), ".flac");

    // Jobs 1 and 2 on the PCM profile; changing its rate from the selected job 1 recomputes both.
    choose(1, 0);
    choose(2, 0);
    form.SetCurrentRow(1);
    CloseUpWith(FindChild<QComboBox>(&form, "cmbSampleRate"), 1);
    EXPECT_EQ(form.Profiles[0].SampleRate, "44100");
    EXPECT_EQ(Cell(form, 0, 2), "25.84 MB");
    EXPECT_EQ(Cell(form, 1, 2), "25.84 MB");
    EXPECT_EQ(Cell(form, 2, 2), "33.75 MB");

    // A bit rate that is not a number keeps every estimate of that profile.
    choose(2, 2);
    EXPECT_EQ(Cell(form, 1, 2), "4.69 MB");
    CloseUpWith(FindChild<QComboBox>(&form, "cmbAudioBitRate"), 1);
    EXPECT_EQ(form.Profiles[2].AudioBitRate, "abc");
    EXPECT_EQ(Cell(form, 1, 2), "4.69 MB");
    EXPECT_EQ(Cell(form, 0, 2), "25.84 MB");
    EXPECT_TRUE(ErrorMessages.isEmpty());
}

TEST_F(JobListTest, RemoveMoveAndClearKeepTheCurrentRowAsTheListCommandsSay) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    AddFakeJobs(form, {"1.wav", "2.wav", "3.wav", "4.wav"});

    // Removing row 2 of 4 keeps the order of the others, and row 2 stays current.
    form.SetCurrentRow(2);
    form.Remove1Click();
    EXPECT_EQ(Titles(form), (QStringList{"1.wav", "3.wav", "4.wav"}));
    EXPECT_EQ(form.CurrentRow(), 2);
    // Removing the last row makes the new last row current.
    form.SetCurrentRow(3);
    form.EditButtonClick();
    EXPECT_EQ(Titles(form), (QStringList{"1.wav", "3.wav"}));
    EXPECT_EQ(form.CurrentRow(), 2);

    form.SetCurrentRow(1);
    form.MoveUp1Click();  // nothing above row 1
    EXPECT_EQ(Titles(form), (QStringList{"1.wav", "3.wav"}));
    EXPECT_EQ(form.CurrentRow(), 1);
    form.MoveDown1Click();
    EXPECT_EQ(Titles(form), (QStringList{"3.wav", "1.wav"}));
    EXPECT_EQ(form.CurrentRow(), 2);
    form.MoveDown1Click();  // nothing below the last row
    EXPECT_EQ(Titles(form), (QStringList{"3.wav", "1.wav"}));
    EXPECT_EQ(form.CurrentRow(), 2);
    form.MoveUp1Click();
    EXPECT_EQ(Titles(form), (QStringList{"1.wav", "3.wav"}));
    EXPECT_EQ(form.CurrentRow(), 1);
    form.SwapAudioFiles(0, 1);
    EXPECT_EQ(Titles(form), (QStringList{"3.wav", "1.wav"}));
    EXPECT_EQ(form.AudioFiles[0].DestinationTitle, "3");

    // Removing down to the only job behaves as "Clear All".
    form.SetCurrentRow(1);
    form.Remove1Click();
    EXPECT_EQ(Titles(form), (QStringList{"1.wav"}));
    form.SetCurrentRow(1);
    form.Remove1Click();
    EXPECT_TRUE(form.AudioFiles.empty());
    EXPECT_EQ(form.AudioFilesModel()->rowCount(), 0);  // only the header row remains
    for (const char* name : {"EditButton", "ClipButton", "SettingsButton", "PlayButton", "PauseButton", "StopButton"})
        EXPECT_FALSE(FindChild<QWidget>(&form, name)->isEnabled()) << name;
    for (const char* name : {"Remove2", "ClearAll2", "Rename2", "MoveUp2", "MoveDown2", "TrimAudio1", "FileInformation1"})
        EXPECT_FALSE(FindChild<QAction>(&form, name)->isEnabled()) << name;
    for (const char* name : {"Remove1", "ClearAll1", "Rename1", "MoveUp1", "MoveDown1"})
        EXPECT_TRUE(FindChild<QAction>(&form, name)->isEnabled()) << name;
    form.Remove1Click();  // with no jobs: nothing
    form.MoveUp1Click();
    EXPECT_TRUE(form.AudioFiles.empty());

    AddFakeJobs(form, {"x.wav", "y.wav"});
    FindChild<QAction>(&form, "ClearAll1")->trigger();
    EXPECT_TRUE(form.AudioFiles.empty());

    // Delete removes every selected row; the row after them becomes current.
    AddFakeJobs(form, {"a.wav", "b.wav", "c.wav", "d.wav"});
    form.show();
    form.activateWindow();
    auto* grid = FindChild<QTableView>(&form, "sgList");
    grid->setFocus();
    form.SetCurrentRow(1);
    grid->selectionModel()->select(form.AudioFilesModel()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::keyClick(grid, Qt::Key_Delete);
    EXPECT_EQ(Titles(form), (QStringList{"b.wav", "d.wav"}));
    EXPECT_EQ(form.CurrentRow(), 1);
}

TEST_F(JobListTest, TitleEditorOpensOverColumnThreeStoresTheTextAndRefusesOneThatCannotNameAFileOrIsTooLong) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.show();
    AddFakeJobs(form, {"a.wav", "b.wav", "c.wav"});
    auto* grid = FindChild<QTableView>(&form, "sgList");
    auto* editor = FindChild<QLineEdit>(&form, "edDestinationTitle");
    FindChild<QStackedWidget>(&form, "Notebook1")->setCurrentIndex(1);
    EXPECT_TRUE(editor->isHidden());

    form.SetCurrentRow(2);
    form.Rename1Click();
    ASSERT_FALSE(editor->isHidden());
    const QRect cell = grid->visualRect(form.AudioFilesModel()->index(1, 3));
    const QPoint at = grid->viewport()->mapTo(editor->parentWidget(), cell.topLeft());
    EXPECT_EQ(editor->x(), at.x());
    EXPECT_EQ(editor->y(), at.y() - 1);
    EXPECT_EQ(editor->width(), grid->columnWidth(3));
    EXPECT_EQ(editor->text(), "b");
    EXPECT_EQ(editor->selectedText(), "b");
    editor->setText("renamed b");
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(editor->isHidden());
    EXPECT_EQ(form.AudioFiles[1].DestinationTitle, "renamed b");
    EXPECT_EQ(Cell(form, 1, 3), "renamed b");
    EXPECT_EQ(form.AudioFiles[0].DestinationTitle, "a");

    // A press on column 3 of row 3 opens it for that row; a title that cannot name a file is
    // refused when the box is left, and the old one stays.
    const QRect third = grid->visualRect(form.AudioFilesModel()->index(2, 3));
    for (const QString bad : {"", "  ", "..", "a/b"}) {
        QTest::mousePress(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        QTest::mouseRelease(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        ASSERT_FALSE(editor->isHidden());
        EXPECT_EQ(form.CurrentRow(), 3);
        EXPECT_EQ(editor->text(), "c");
        editor->setText(bad);
        Messages.clear();
        form.edDestinationTitleExit();
        EXPECT_TRUE(editor->isHidden());
        EXPECT_EQ(form.AudioFiles[2].DestinationTitle, "c") << bad.toStdString();
        ASSERT_EQ(Messages.size(), 1u) << bad.toStdString();
        EXPECT_EQ(Messages[0].Kind, mkWarning);
    }
    EXPECT_EQ(Messages[0].Text, "The destination file name \"a/b\" contains a character that file names cannot hold: /");

    // A file name the file system takes (255 bytes with the extension) is kept; one more byte is refused.
    ASSERT_GE(form.AudioFiles[2].ProfileInd, 0);
    const std::string ext = form.Profiles[static_cast<size_t>(form.AudioFiles[2].ProfileInd)].FormatExt;
    for (const size_t bytes : {256u, 255u}) {
        QTest::mousePress(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        QTest::mouseRelease(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        ASSERT_FALSE(editor->isHidden());
        const QString title(static_cast<qsizetype>(bytes - ext.size()), 'x');
        editor->setText(title);
        Messages.clear();
        form.edDestinationTitleExit();
        EXPECT_EQ(form.AudioFiles[2].DestinationTitle, bytes > 255 ? "c" : title.toStdString());
        ASSERT_EQ(Messages.size(), bytes > 255 ? 1u : 0u);
    }

    // A press on another column opens nothing.
    const QRect other = grid->visualRect(form.AudioFilesModel()->index(0, 1));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, other.center());
    EXPECT_TRUE(editor->isHidden());
    EXPECT_EQ(form.CurrentRow(), 1);
}

TEST_F(JobListTest, GridDrawsTheSeparatorLinesTheCaptionRowAndTheCurrentRowPicture) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    auto* grid = FindChild<TListGrid>(&form, "sgList");
    ASSERT_NE(grid, nullptr);
    // Before the first file: one row below the header, drawn like the header.
    EXPECT_EQ(form.AudioFilesModel()->rowCount(), 1);
    EXPECT_EQ(Cell(form, 0, 0), "Source");
    EXPECT_EQ(Cell(form, 0, 4), "Format");
    EXPECT_EQ(form.CurrentRow() <= 1, true);

    form.show();
    ProcessPending();
    // Six lines: after each column and the 64-pixel column past the last, one pixel apart.
    const int x0 = grid->viewport()->x();
    const std::vector<int> expected{x0 + 132, x0 + 225, x0 + 313, x0 + 429, x0 + 478, x0 + 543};
    EXPECT_EQ(grid->SeparatorLines(), expected);
    grid->setColumnWidth(0, 100);
    EXPECT_EQ(grid->SeparatorLines()[0], x0 + 100);
    EXPECT_EQ(grid->SeparatorLines()[5], x0 + 511);
    grid->setColumnWidth(0, 132);

    AddFakeJobs(form, {"a.wav", "b.wav", "c.wav"});
    form.SetCurrentRow(2);
    FindChild<QStackedWidget>(&form, "Notebook1")->setCurrentIndex(1);
    ProcessPending();
    const QImage image = grid->grab().toImage();
    const QRect row3 = grid->visualRect(form.AudioFilesModel()->index(2, 0));
    const int y = grid->viewport()->y() + row3.center().y();
    for (int x : {expected[0], expected[1], expected[2]})
        EXPECT_EQ(image.pixelColor(x, y), TListGrid::SeparatorColor) << x;
    EXPECT_EQ(image.pixelColor(x0 + 60, y), QColor(Qt::white));  // another job row, no text there
    EXPECT_EQ(image.pixelColor(expected[0], 2), TListGrid::SeparatorColor);  // over the header too
    const QRect row2 = grid->visualRect(form.AudioFilesModel()->index(1, 2));
    const QColor current = image.pixelColor(grid->viewport()->x() + row2.left() + 2, grid->viewport()->y() + row2.top() + 1);
    EXPECT_NE(current, QColor(Qt::white));

    form.ClearAll1Click();
    EXPECT_EQ(form.AudioFilesModel()->rowCount(), 0);
}

TEST_F(JobListTest, FileInformationShowsTheSelectedFileAndReportsOneThatCannotBeOpened) {
    testmedia::ScopedTempDir dir("fileinfo");
    const fs::path wav = MakeTone(dir.path(), "long name.wav", Tone(440, 0.5, 2.5, 44100, 2));
    const fs::path flac = MakeTone(dir.path(), "mono.flac", Tone(440, 0.5, 1.0, 22050, 1));
    auto app = Start();
    TMainForm& form = *app->MainForm;
    int shown = 0;
    AnswerModals([&](QWidget* AModal) {
        if (auto* info = qobject_cast<TFileInfoForm*>(AModal)) {
            ++shown;
            EXPECT_EQ(info->height(), 250);
            info->accept();
        } else if (auto* error = qobject_cast<TErrorForm*>(AModal)) {
            ErrorMessages << error->lblErrorText()->text();
            error->spSkinButton1()->click();
        }
    });
    AddThroughDialog(form, {wav, flac});
    ASSERT_EQ(form.AudioFiles.size(), 2u);

    form.SetCurrentRow(1);
    FindChild<QAction>(&form, "FileInformation1")->trigger();
    EXPECT_EQ(shown, 1);
    TFileInfoForm& info = *app->FileInfoForm;
    EXPECT_EQ(info.spSkinLabel2()->text(), "long name.wav");
    EXPECT_EQ(info.spSkinLabel3()->text(), "00:00:02");
    EXPECT_EQ(info.spSkinLabel6()->text(), "44100 Hz");
    EXPECT_EQ(info.spSkinLabel7()->text(), "2 channel");
    EXPECT_EQ(info.spSkinLabel8()->text(), "1411 Kb");

    QTest::qWait(30);  // the answering timer sees the dialog gone before it shows again
    form.SetCurrentRow(2);
    form.FileInformation1Click();
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(info.spSkinLabel2()->text(), "mono.flac");
    EXPECT_EQ(info.spSkinLabel6()->text(), "22050 Hz");
    EXPECT_EQ(info.spSkinLabel7()->text(), "1 channel");
    // FLAC streams carry no bit rate of their own.
    EXPECT_EQ(info.spSkinLabel8()->text(), "is not preseted");

    // A source whose audio is gone shows no audio values of the previous file.
    testmedia::MakeVideoOnly(dir.path());
    fs::rename(dir.path() / "video_only.mp4", flac);
    QTest::qWait(30);
    form.FileInformation1Click();
    EXPECT_EQ(shown, 3);
    for (QLabel* label : {info.spSkinLabel6(), info.spSkinLabel7(), info.spSkinLabel8()})
        EXPECT_EQ(label->text(), "");

    // A source that is gone: three log lines and the error dialog, no information dialog.
    fs::remove(wav);
    form.SetCurrentRow(1);
    const int logStart = static_cast<int>(app->LogForm->Lines().size());
    form.FileInformation1Click();
    EXPECT_EQ(shown, 3);
    const QStringList log = LogLines(*app, logStart);
    ASSERT_EQ(log.size(), 3);
    EXPECT_EQ(log[0], "");
    EXPECT_TRUE(log[1].startsWith("-> File load error: "));
    EXPECT_EQ(log[2], "");
    ASSERT_EQ(ErrorMessages.size(), 1);
    EXPECT_EQ(ErrorMessages[0], "Error getting file info! " + log[1].mid(QString("-> File load error: ").size()));
}
