// The main window: job list, output settings, preview row, menus; owns the logger, the
// profiles, the job rows and the error report. Main thread only.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>
#include <atomic>
#include <memory>
#include <vector>

#include "AudioFiles.h"
#include "Decryptor.h"
#include "FFLog.h"
#include "FFPlay.h"
#include "FFmpegRecords.h"

namespace Ui {
class TMainForm;
}
class QButtonGroup;
class QComboBox;
class TFFPlayer;
class TAboutForm;
class TAudioFilesModel;
class TClipForm;
class TConvForm;
class TErrorForm;
class TFFEncoder;
class TFileInfoForm;
class TLogForm;
class TSystemControl;

// The program's other windows, created before the main window and living as long as it.
struct TFormSet {
    TClipForm* ClipForm = nullptr;
    TLogForm* LogForm = nullptr;
    TConvForm* ConvForm = nullptr;
    TAboutForm* AboutForm = nullptr;
    TFileInfoForm* FileInfoForm = nullptr;
    TErrorForm* ErrorForm = nullptr;
};

// What the open dialog keeps between uses; the dialog itself is shown by the list commands.
struct TOpenDialogState {
    QString Title = "Open file";
    QString InitialDir;
    QString Filter = "All files|*.*";
    int FilterIndex = 1;
    QStringList Files;  // the files chosen in the last use that returned any
};

// Why ATitle cannot be a destination title (empty, "." or "..", a character no file name may
// hold, longer than 255 bytes with its extension AExtension); empty when it can.
QString DestinationTitleRefusal(const QString& ATitle, const QString& AExtension = {});
// The position label's text: "D / D" of two times in microseconds.
QString PlayTimeText(int64_t APosition, int64_t ADuration);

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // Runs the start-up sequence (FormCreate). The windows of AForms must exist already: the
    // start-up reports its failures through the error dialog and the events log.
    explicit TMainForm(const TFormSet& AForms, QWidget* AParent = nullptr);
    ~TMainForm() override;

    // The encoder, owned for the window's whole life; its probe (Decoder) reads added files.
    std::unique_ptr<TFFEncoder> FFEncoder;
    // The preview player, owned for the window's whole life.
    std::unique_ptr<TFFPlayer> FFPlayer;

    // Process-wide state of the main window (see the profile and job-list handlers).
    std::vector<TProfile> Profiles;
    std::vector<TAudioFile> AudioFiles;
    int CurrentProfileInd = 0;
    int RecentProfileInd = 0;
    int LastEditedProfileInd = -1;
    QStringList LoggerHistory;  // logger lines since start-up; the error report's body
    QString TempFolder;
    TOpenDialogState dlgopen;
    TFormSet Forms;

    // The conversion run: the folder it writes into (kept for opening it at the end) and one
    // option record pair per job, in place for the whole run (the encoder refers to them).
    QString OutputFolder;
    std::vector<TInputOptions> InputOptionsList;
    std::vector<TOutputOptions> OutputOptionsList;

    TAudioFilesModel* AudioFilesModel() const { return FAudioFilesModel; }
    // The grid's current row counting the header row (job r - 1); 0 when no job is current.
    int CurrentRow() const;
    void SetCurrentRow(int ARow);

    // Start-up and close.
    void FormCreate();
    void FormClose();
    void SaveSettings();
    void MakeDefaultOutputFolder();
    void ReadSettings();

    // Profiles.
    void FillSettingCombos();
    void ApplyProfileSettings();
    void cmbProfileClick();
    void cmbAudioEncoderCloseUp();
    void cmbSampleRateCloseUp();
    void cmbAudioBitRateCloseUp();
    void cmbChannelCloseUp();
    void chApplyToAllClick();
    void sgListClick();
    // Selects item AIndex of cmbProfile from code, which runs cmbProfileClick as a user choice does.
    void SelectProfile(int AIndex);
    void UpdateAllEstimates();

    // Job list.
    QString LibraryFolder() const;  // ApplicationFolder + "LibAV"
    void AddButtonClick();
    // Adds files as chosen in the open dialog (steps after the dialog); also used for files
    // dropped on the list.
    // ASummary: refusals are shown together in one box after the last file, not one box each.
    // ARoots, when given, holds for each file the folder it was found under (empty: none);
    // AUnopened, paths that could not be opened at all, joins the summary's refusals.
    void AddFiles(const QStringList& AFiles, bool ASummary = false, const QStringList& ARoots = {},
                  const QStringList& AUnopened = {});
    std::unique_ptr<class QProgressDialog> NewAddingProgress(qsizetype ACount);
    void ShowRefusedFiles(const QStringList& ARefused, qsizetype ATotal);
    void AddDroppedFiles(const QStringList& AFiles);
    // Files and folders named on the command line (main_command_line.cpp): folders give their
    // files of the open filter's kinds; refusals come in one box.
    void AddCommandLineFiles(const QStringList& APaths);
    void Remove1Click();
    void EditButtonClick();
    // "Trim", "Edit Audio...", "Trim Audio...": stops the preview, then the trim editor edits the
    // selected job (modal).
    void ClipButtonClick();
    void ClearAll1Click();
    void Rename1Click();
    void MoveUp1Click();
    void MoveDown1Click();
    void SwapAudioFiles(int A, int B);
    void sgListMouseDown(const QModelIndex& AIndex);
    void edDestinationTitleExit();
    void edDestinationTitleKeyPress(int AKey);
    void FileInformation1Click();

    // Preview (main_preview.cpp).
    void OpenAudio(const QString& AFileName);
    void PlayButtonClick();
    void PauseButtonClick();
    void StopButtonClick();
    void VideoTrackBarStartDragButton();
    void VideoTrackBarLastChange();
    void VolumeTrackBarChange();
    void FFPlayerFileOpen(int64_t ADuration, int& AScreenWidth, int& AScreenHeight);
    void FFPlayerPosition(int64_t APTS);
    void FFPlayerState(TPlayState AState);
    bool SeekBarDragging = false;  // the user drags the seek bar's thumb
    TPlayState LastPlayState = psPlay;  // the last state FFPlayer reported

    // Conversion run.
    // Where a run writes when the output folder is missing: "c:\quendral_temp" on Windows,
    // <temporary folder>/quendral_temp-<uid> elsewhere (made private when used).
    static QString FallbackOutputFolder();
    void StartButtonClick();
    void spSkinButton1Click();  // "Change"
    void spSkinButton3Click();  // "Open"
    void chMergeClick();
    void FFEncoderProgress(PProgressInfo AProgressInfo);  // main thread
    void FFEncoderTerminate(const TTerminateInfo& ATerminateInfo);  // main thread
    // The conversion dialog's Cancel: stops the run (waiting) and logs it.
    void ConvFormCancel();

    // Logs and error report.
    void EventsLogLine(const QString& AText);
    void FFLoggerLog(TSender Sender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg);
    // Shows the error dialog; on "Send" mails the report (falling back to the mail program).
    // Returns when the dialog is closed and sending has ended.
    void ShowErrorReport(const QString& AMessage, const QString& AMark);

    // Menu and buttons.
    void Exit1Click();
    void oolsitem11Click();
    void OnlineGuide1Click();
    void Support1Click();
    void OutputNamesClick();
    void ProductPage1Click();
    void About1Click();

    // Operating system (used by the conversion run's end actions).
    QString PrepareSDLCopy(int AIndex);
    QString GetWindowsVersion();
    void ShutdownComputer();
    void SetSystemControl(std::unique_ptr<TSystemControl> ASystem);

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void WatchCloseUp(QComboBox* ACombo);
    void SetUpResizing();
    // A widget of the form, its designed geometry, and the edges it follows (see SetUpResizing).
    struct TAnchor {
        QWidget* Widget;
        QRect Designed;
        int Anchor;
    };
    std::vector<TAnchor> FAnchors;
    QSize FDesignedSize;
    // Loads the media libraries when they are not loaded; on failure reports with AMark.
    bool LoadMediaLibraries(const QString& AMark);
    // The preview (main_preview.cpp): creating and freeing FFPlayer and its transport bar,
    // loading its SDL copy when files are added (true: go on; false: reported), and the Stop
    // steps for a conversion, the trim editor and closing.
    void SetUpPreview();
    void TearDownPreview();
    bool PreviewLoadSDL();
    void PreviewStop();
    void ShowPreviewAtRest();
    void PreviewSelectionChanged();
    void SetListCommandsEnabled(bool AEnabled);
    // Rebuilds the grid from AudioFiles and makes ARow current (none when out of range).
    void RefreshList(int ARow);
    void OpenTitleEditor(int ARow);
    void StartConversion();
    bool ChooseOutputFolder();
    bool AddRunTasks(bool AMerge, int AMergeJob);
    void RunTasks(bool AMerge);
    // Each job's output for a run in FRunOutputs (empty: the job is skipped): the naming
    // settings, the user asked about outputs that exist, the sub-folders made; false, reported,
    // when the run must not start (a job writing over a source, the user cancelled).
    bool PlanRunOutputs(bool AMerge, int AMergeJob);
    // The job task ATask of the running conversion converts (-1 for none).
    int TaskJob(int ATask) const;
    // How a failure names task ATask of the run: the job and its file, or the merged file.
    QString TaskName(int ATask) const;
    void LogLoudness(int ATask);
    void LogRenamedOutputs(int ATask);
    void FillOptions(int AJob, bool AMerge, int AVolume, TInputOptions& AInput, TOutputOptions& AOutput) const;

    std::unique_ptr<Ui::TMainForm> ui;
    TAudioFilesModel* FAudioFilesModel = nullptr;
    std::unique_ptr<TFFLogger> FFLogger;
    std::unique_ptr<TSystemControl> FSystem;
    // Termination notices in flight from the encoder's notification threads. Alive is read and
    // written on the main thread only; the window waits for Pending to drain before it goes.
    struct TNoticeGate {
        bool Alive = true;
        std::atomic<int> Pending{0};
    };
    std::shared_ptr<TNoticeGate> FNotices;
    bool FSettingsLoaded = false;  // start-up read the settings: SaveSettings may write them
    bool FCancelled = false;  // the running conversion was cancelled by the user
    int FFailedTasks = 0;     // tasks of the running conversion that ended with an error
    int FRunTasks = 0;        // tasks of the running conversion
    bool FRunMerged = false;  // the running conversion merges every job into one task
    int FRunThreads = 1;      // tasks of the running conversion converted at once
    std::vector<double> FTaskDone;  // share done of each task of the running conversion, 0..1
    std::vector<std::string> FRunOutputs;  // each job's output in the running conversion
    std::vector<TExistingOutput> FRunExisting;  // and what a file taking its name meanwhile gets
    std::vector<int> FTaskJob;             // the job of each task of the running conversion
    QStringList FRunFailures;              // the failed tasks' messages, reported at the end
    QElapsedTimer FRunClock;               // since the running conversion started
    // Files are being added: the add loop pumps the window, so the list commands, Start and
    // the file information do nothing meanwhile, and closing waits for the loop.
    bool FAdding = false;
    bool FCloseRequested = false;  // the window was asked to close while files were added
    // Preview: the play/pause button group; the previewed file's duration (µs); set around the
    // window's own changes of the seek bar so they are no seeks; the player's screen control.
    QButtonGroup* FPlayButtons = nullptr;
    int64_t FDuration = 0;
    bool FTrackChanging = false;
    QWidget* FScreenControl = nullptr;
    class TPlayerScreen* FPlayerScreen = nullptr;  // child of panPreview, the player's host
    bool FPreviewOpen = false;  // a preview playback was opened and not stopped since
};
