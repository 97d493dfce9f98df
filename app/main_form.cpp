#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTime>
#include <QTimer>
#include <atomic>
#include <thread>

#include "AppShell.h"
#include "Convert.h"
#include "Dispatcher.h"
#include "ErrorReport.h"
#include "OpenFilter.h"
#include "Platform.h"
#include "about.h"
#include "errordlg.h"
#include "log.h"
#include "ui_main_form.h"

namespace {

const char* const SettingsOrganization = "Quendral";
const char* const SettingsApplication = "Quendral Audio Converter";

// The system's long time format without a time-zone part.
QString LongTimeText() {
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove('t');
    return QLocale::system().toString(QTime::currentTime(), format.trimmed());
}

// Index of AValue among AValues, compared without regard to letter case; -1 when absent.
int ValueIndex(const std::vector<std::string>& AValues, const std::string& AValue) {
    for (size_t i = 0; i < AValues.size(); ++i)
        if (SameText(AValues[i], AValue)) return static_cast<int>(i);
    return -1;
}

bool ReadInt(const QSettings& ASettings, const char* AName, int& AValue) {
    if (!ASettings.contains(AName)) return false;
    bool ok = false;
    const int v = ASettings.value(AName).toInt(&ok);
    if (ok) AValue = v;
    return ok;
}

}  // namespace

TMainForm::TMainForm(const TFormSet& AForms, QWidget* AParent)
    : QMainWindow(AParent), Forms(AForms), ui(new Ui::TMainForm), FSystem(new TSystemControl) {
    ui->setupUi(this);
    FAudioFilesModel = new TAudioFilesModel(AudioFiles, Profiles, this);
    ui->sgList->setModel(FAudioFilesModel);
    ui->sgList->setItemDelegate(new TAudioFileCellPainter(ui->sgList));
    ui->sgList->verticalHeader()->hide();
    ui->sgList->verticalHeader()->setDefaultSectionSize(17);
    ui->sgList->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    ui->sgList->horizontalHeader()->setTextElideMode(Qt::ElideRight);

    FFLogger = std::make_unique<TFFLogger>();
    FFLogger->SetOnLog([this](TSender ASender, uint32_t AThreadID, TLogLevel ALevel,
                              const std::string& AMsg) { FFLoggerLog(ASender, AThreadID, ALevel, AMsg); });

    // Profile selectors.
    connect(ui->cmbProfile, &QComboBox::activated, this, [this] { cmbProfileClick(); });
    for (QComboBox* combo : {ui->cmbAudioEncoder, ui->cmbSampleRate, ui->cmbAudioBitRate, ui->cmbChannel})
        WatchCloseUp(combo);
    connect(ui->chApplyToAll, &QCheckBox::clicked, this, &TMainForm::chApplyToAllClick);
    connect(ui->sgList, &QTableView::clicked, this, [this] { sgListClick(); });
    connect(ui->sgList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& APos) { ui->ListMenu->popup(ui->sgList->viewport()->mapToGlobal(APos)); });

    // Menus and buttons of this window; the list, trim, conversion and preview commands are
    // connected by their own units.
    connect(ui->Exit1, &QAction::triggered, this, &TMainForm::Exit1Click);
    connect(ui->oolsitem11, &QAction::triggered, this, &TMainForm::oolsitem11Click);
    connect(ui->OnlineGuide1, &QAction::triggered, this, &TMainForm::OnlineGuide1Click);
    connect(ui->Support1, &QAction::triggered, this, &TMainForm::Support1Click);
    connect(ui->SupportButton, &QPushButton::clicked, this, &TMainForm::Support1Click);
    connect(ui->ProductPage1, &QAction::triggered, this, &TMainForm::ProductPage1Click);
    connect(ui->About1, &QAction::triggered, this, &TMainForm::About1Click);

    FormCreate();
}

TMainForm::~TMainForm() {
    FFLogger->SetOnLog(nullptr);
}

void TMainForm::FormCreate() {
    // 1-4: folders, title, open dialog start, logger history.
    TempFolder = ReadTempFolder();
    QCoreApplication::setApplicationName("Quendral Audio Converter");
    dlgopen.InitialDir = GetSpecialFolder(CSIDL_MYMUSIC);
    LoggerHistory = QStringList{"FFLOGGER HISTORY:"};

    // 5: grid columns and header row.
    for (int c = 0; c < TAudioFilesModel::ColumnCount; ++c)
        ui->sgList->setColumnWidth(c, TAudioFilesModel::ColumnWidths[c]);
    ui->sgList->horizontalHeader()->setFixedHeight(20);

    // 6: open dialog filter.
    dlgopen.Filter = BuildOpenDialogFilter();
    dlgopen.FilterIndex = 1;

    // 7: the profile catalogue; without it the remaining steps are skipped.
    try {
        LoadCatalogueFile(Utf8ToPath((ApplicationFolder() + "audio-converter-profiles" +
                                      QDir::separator() + "formats.dat").toStdString()),
                          Profiles);
    } catch (const std::exception& e) {
        EventsLogLine(QString("-> Error loading profiles: ") + e.what());
        ShowErrorReport("Error loading profiles", "CLM_LoadProfiles");
        return;
    }

    // 8: default output folder, created one level at a time. Without a documents folder
    // there is nothing to build it on (it would land in the file-system root).
    const QString documents = GetSpecialFolder(CSIDL_PERSONAL);
    if (!documents.isEmpty()) {
        const QString sep = QDir::separator();
        QString folder = documents + sep + "Quendral";
        QDir().mkdir(folder);
        folder += sep + QString("Quendral Audio Converter");
        QDir().mkdir(folder);
        folder += sep + QString("Output");
        QDir().mkdir(folder);
        if (QFileInfo(folder).isDir()) ui->edDestinationFolder->setText(folder);
    }

    // 9: stored settings. An unreadable store leaves the defaults and says so in the log.
    RecentProfileInd = 0;
    {
        QSettings settings(SettingsOrganization, SettingsApplication);
        if (settings.status() != QSettings::NoError) {
            EventsLogLine("-> Cannot read the settings from " + settings.fileName());
        } else {
            if (settings.contains("OutputPath"))
                ui->edDestinationFolder->setText(settings.value("OutputPath").toString());
            if (settings.contains("OpenAudioDialogPath")) {
                dlgopen.InitialDir = settings.value("OpenAudioDialogPath").toString();
                if (!QFileInfo(dlgopen.InitialDir).isDir()) dlgopen.InitialDir.clear();
            }
            ReadInt(settings, "recentprofileind", RecentProfileInd);
            ReadInt(settings, "lasteditedprofileind", LastEditedProfileInd);
            // An index the catalogue no longer holds names no profile to save at exit.
            if (LastEditedProfileInd >= static_cast<int>(Profiles.size())) LastEditedProfileInd = -1;
        }
    }

    // 10: profile list and selection; a stored index outside the catalogue falls back to the
    // first profile (none when the catalogue is empty).
    ui->cmbProfile->clear();
    for (const TProfile& p : Profiles) ui->cmbProfile->addItem(QString::fromStdString(p.Title));
    if (RecentProfileInd < 0 || RecentProfileInd >= static_cast<int>(Profiles.size()))
        RecentProfileInd = 0;
    if (!Profiles.empty()) SelectProfile(RecentProfileInd);

    // 11: getting-started picture.
    const QString picture =
        ApplicationFolder() + "audio-converter-profiles" + QDir::separator() + "gs.bmp";
    QPixmap pixmap;
    if (QFileInfo::exists(picture) && pixmap.load(picture))
        ui->GettingStartedImage->setPixmap(pixmap);
    else
        ui->GettingStartedPanel->hide();
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
    FormClose();
    QMainWindow::closeEvent(AEvent);
}

void TMainForm::FormClose() { SaveSettings(); }

void TMainForm::SaveSettings() {
    bool failed = false;
    {
        QSettings settings(SettingsOrganization, SettingsApplication);
        // A store that could not be read is not overwritten: what it holds is kept.
        if (settings.status() != QSettings::NoError) {
            failed = true;
        } else {
            settings.setValue("OutputPath", ui->edDestinationFolder->text());
            if (!dlgopen.Files.isEmpty())
                settings.setValue("OpenAudioDialogPath",
                                  QDir::toNativeSeparators(QFileInfo(dlgopen.Files.first()).path()));
            settings.setValue("recentprofileind", RecentProfileInd);
            if (LastEditedProfileInd >= 0 && LastEditedProfileInd < static_cast<int>(Profiles.size())) {
                const TProfile& p = Profiles[static_cast<size_t>(LastEditedProfileInd)];
                settings.setValue("lasteditedprofileind", LastEditedProfileInd);
                settings.setValue("audiocodecname", QString::fromStdString(p.AudioCodecName));
                settings.setValue("audiobitrate", QString::fromStdString(p.AudioBitRate));
                settings.setValue("samplerate", QString::fromStdString(p.SampleRate));
                settings.setValue("channels", QString::fromStdString(p.Channel));
            }
            settings.sync();
            failed = settings.status() != QSettings::NoError;
        }
    }
    if (failed) ShowErrorReport("Error writing data to Registry", "CLM_RegDataWrite");
}

int TMainForm::CurrentRow() const {
    const QModelIndex current = ui->sgList->currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

void TMainForm::SetCurrentRow(int ARow) {
    ui->sgList->setCurrentIndex(FAudioFilesModel->index(ARow - 1, 0));
}

// ---- profiles

void TMainForm::SelectProfile(int AIndex) {
    ui->cmbProfile->setCurrentIndex(AIndex);
    cmbProfileClick();
}

void TMainForm::FillSettingCombos() {
    QComboBox* combos[] = {ui->cmbAudioBitRate, ui->cmbSampleRate, ui->cmbAudioEncoder, ui->cmbChannel};
    for (QComboBox* c : combos) c->clear();
    if (CurrentProfileInd < 0 || CurrentProfileInd >= static_cast<int>(Profiles.size())) return;
    const TProfile& p = Profiles[static_cast<size_t>(CurrentProfileInd)];
    auto fill = [](QComboBox* ACombo, const std::string& AList, const std::string& AChosen) {
        for (const std::string& label : SplitValueList(AList, false))
            ACombo->addItem(QString::fromStdString(label));
        ACombo->setCurrentIndex(ValueIndex(SplitValueList(AList, true), AChosen));
    };
    fill(ui->cmbSampleRate, p.SampleRates, p.SampleRate);
    fill(ui->cmbChannel, p.Channels, p.Channel);
    fill(ui->cmbAudioEncoder, p.AudioCodecs, p.AudioCodecName);
    fill(ui->cmbAudioBitRate, p.AudioBitRates, p.AudioBitRate);
}

void TMainForm::ApplyProfileSettings() {
    LastEditedProfileInd = CurrentProfileInd;
    try {
        if (CurrentProfileInd < 0 || CurrentProfileInd >= static_cast<int>(Profiles.size()))
            throw std::out_of_range("no profile selected");
        TProfile& p = Profiles[static_cast<size_t>(CurrentProfileInd)];
        const struct {
            QComboBox* Combo;
            const std::string& List;
            std::string& Chosen;
        } settings[] = {{ui->cmbSampleRate, p.SampleRates, p.SampleRate},
                        {ui->cmbChannel, p.Channels, p.Channel},
                        {ui->cmbAudioEncoder, p.AudioCodecs, p.AudioCodecName},
                        {ui->cmbAudioBitRate, p.AudioBitRates, p.AudioBitRate}};
        for (const auto& s : settings) {
            if (!s.Combo->isEnabled()) continue;
            const std::vector<std::string> values = SplitValueList(s.List, true);
            const int index = s.Combo->currentIndex();
            if (index < 0 || index >= static_cast<int>(values.size()))
                throw std::out_of_range("the selected setting has no value");
            s.Chosen = values[static_cast<size_t>(index)];
        }
    } catch (const std::exception&) {
        ShowErrorReport("Error setting profile", "CLM_SettingProfile");
    }
    UpdateAllEstimates();
}

void TMainForm::UpdateAllEstimates() {
    for (int i = 0; i < static_cast<int>(AudioFiles.size()); ++i) UpdateEstimatedSize(AudioFiles, Profiles, i);
    FAudioFilesModel->RepaintAll();
}

void TMainForm::cmbProfileClick() {
    const int selected = ui->cmbProfile->currentIndex();
    const int row = CurrentRow();
    if (row >= 1 && row <= static_cast<int>(AudioFiles.size()))
        AudioFiles[static_cast<size_t>(row - 1)].ProfileInd = selected;
    CurrentProfileInd = selected;
    RecentProfileInd = selected;
    if (ui->chApplyToAll->isChecked())
        for (TAudioFile& job : AudioFiles) job.ProfileInd = CurrentProfileInd;
    FillSettingCombos();
    UpdateAllEstimates();
}

void TMainForm::cmbAudioEncoderCloseUp() { ApplyProfileSettings(); }
void TMainForm::cmbSampleRateCloseUp() { ApplyProfileSettings(); }
void TMainForm::cmbAudioBitRateCloseUp() { ApplyProfileSettings(); }
void TMainForm::cmbChannelCloseUp() { ApplyProfileSettings(); }

void TMainForm::chApplyToAllClick() {
    if (!ui->chApplyToAll->isChecked()) return;
    for (TAudioFile& job : AudioFiles) job.ProfileInd = CurrentProfileInd;
    FAudioFilesModel->RepaintAll();
}

void TMainForm::sgListClick() {
    const int row = CurrentRow();
    if (row < 1 || row > static_cast<int>(AudioFiles.size())) return;
    CurrentProfileInd = AudioFiles[static_cast<size_t>(row - 1)].ProfileInd;
    SelectProfile(CurrentProfileInd);
}

// A selector's drop-down closing (whether or not the choice changed) runs its close-up
// handler. The popup hides before the combo box takes the clicked item, so the handler runs
// once the event that closed it is done.
void TMainForm::WatchCloseUp(QComboBox* ACombo) {
    ACombo->view()->window()->installEventFilter(this);
}

bool TMainForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() == QEvent::Hide) {
        const std::pair<QComboBox*, void (TMainForm::*)()> handlers[] = {
            {ui->cmbAudioEncoder, &TMainForm::cmbAudioEncoderCloseUp},
            {ui->cmbSampleRate, &TMainForm::cmbSampleRateCloseUp},
            {ui->cmbAudioBitRate, &TMainForm::cmbAudioBitRateCloseUp},
            {ui->cmbChannel, &TMainForm::cmbChannelCloseUp}};
        for (const auto& [combo, handler] : handlers)
            if (AWatched == combo->view()->window())
                QTimer::singleShot(0, this, handler);
    }
    return QMainWindow::eventFilter(AWatched, AEvent);
}

// ---- logs and error report

void TMainForm::EventsLogLine(const QString& AText) {
    Forms.LogForm->AppendLine(LongTimeText() + AText);
}

void TMainForm::FFLoggerLog(TSender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg) {
    LoggerHistory << QString("#%1.%2: %3")
                         .arg(AThreadID)
                         .arg(static_cast<int>(ALogLevel))
                         .arg(QString::fromStdString(ALogMsg));
}

void TMainForm::ShowErrorReport(const QString& AMessage, const QString& AMark) {
    TErrorForm* form = Forms.ErrorForm;
    form->lblErrorText()->setText(AMessage);
    if (form->exec() != QDialog::Accepted) return;

    const TReportMailAccount account = TReportMailAccount::Load();
    TReportMail mail;
    const QString email = form->edEmail()->text();
    mail.From = email.contains('@') ? email : account.Sender;
    mail.To = account.Recipient;
    mail.Subject = ReportSubject;

    const QString rule(25, '-');
    LoggerHistory << rule << "ACTION HISTORY:";
    LoggerHistory << Forms.LogForm->Lines();
    LoggerHistory << rule << "LAST ERROR MESSAGE: " + AMessage << "CODE LINE MARK: " + AMark;
    if (!form->edName()->text().isEmpty()) LoggerHistory << "USER NAME: " + form->edName()->text();
    const QString details = form->memDetails()->toPlainText();
    if (!details.isEmpty()) LoggerHistory << "PROBLEM DETAILS:" << details.split('\n');
    mail.Body = LoggerHistory;

    // The transfer runs on a worker; this thread keeps the windows painted meanwhile, with
    // input to this window blocked so no command starts in the middle of the report.
    std::atomic<bool> done{false};
    bool sent = false;
    QString error;
    std::thread sender([&] {
        sent = SendReportMail(account, mail, error);
        done = true;
    });
    setEnabled(false);
    WaitPumping([&] { return done.load(); });
    sender.join();
    setEnabled(true);
    if (!sent) ShellOpen(ReportMailtoUrl(account.Recipient, AMessage, AMark));
}

// ---- menu and buttons

void TMainForm::Exit1Click() { close(); }
void TMainForm::oolsitem11Click() { Forms.LogForm->exec(); }
void TMainForm::OnlineGuide1Click() { ShellOpen(QUrl(OnlineGuideUrl)); }
void TMainForm::Support1Click() { ShellOpen(QUrl(SupportPageUrl)); }
void TMainForm::ProductPage1Click() { ShellOpen(QUrl(ProductPageUrl)); }
void TMainForm::About1Click() { Forms.AboutForm->exec(); }

// ---- operating system

QString TMainForm::PrepareSDLCopy(int AIndex) { return ::PrepareSDLCopy(TempFolder, AIndex); }

QString TMainForm::GetWindowsVersion() {
    try {
        return FSystem->GetWindowsVersion();
    } catch (const std::exception&) {
        ShowErrorReport("Error getting Windows Version", "CLM_GetWinVer");
        return {};
    }
}

void TMainForm::ShutdownComputer() {
    try {
        FSystem->ShutdownComputer();
    } catch (const std::exception&) {
        ShowErrorReport("Error trying shut down the Windows", "CLM_Shut");
    }
}

void TMainForm::SetSystemControl(std::unique_ptr<TSystemControl> ASystem) { FSystem = std::move(ASystem); }
