// The main window: job list, output settings, preview row, menus; owns the logger, the
// profiles, the job rows and the error report. Main thread only.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <memory>
#include <vector>

#include "AudioFiles.h"
#include "Decryptor.h"
#include "FFLog.h"

namespace Ui {
class TMainForm;
}
class QComboBox;
class TAboutForm;
class TAudioFilesModel;
class TClipForm;
class TConvForm;
class TErrorForm;
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

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // Runs the start-up sequence (FormCreate). The windows of AForms must exist already: the
    // start-up reports its failures through the error dialog and the events log.
    explicit TMainForm(const TFormSet& AForms, QWidget* AParent = nullptr);
    ~TMainForm() override;

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

    TAudioFilesModel* AudioFilesModel() const { return FAudioFilesModel; }
    // The grid's current row counting the header row (job r - 1); 0 when no job is current.
    int CurrentRow() const;
    void SetCurrentRow(int ARow);

    // Start-up and close.
    void FormCreate();
    void FormClose();
    void SaveSettings();

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
    void ProductPage1Click();
    void About1Click();

    // Operating system (used by the conversion run's end actions).
    QString PrepareSDLCopy(int AIndex);
    QString GetWindowsVersion();
    void ShutdownComputer();
    void SetSystemControl(std::unique_ptr<TSystemControl> ASystem);

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void WatchCloseUp(QComboBox* ACombo);

    std::unique_ptr<Ui::TMainForm> ui;
    TAudioFilesModel* FAudioFilesModel = nullptr;
    std::unique_ptr<TFFLogger> FFLogger;
    std::unique_ptr<TSystemControl> FSystem;
    // The encoder FFEncoder (TFFEncoder) and the preview player FFPlayer join this window with
    // the engine and player; start-up step 12 (loading the media libraries) comes with them.
};
