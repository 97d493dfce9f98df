#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSettings>
#include <QStyledItemDelegate>
#include <QTime>
#include <QTimer>
#include <QWindow>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QProgressDialog>
#include <QLabel>
#include <QCheckBox>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <thread>

#include "AppShell.h"
#include "ListGrid.h"
#include "RunNotice.h"
#include "Convert.h"
#include "Dispatcher.h"
#include "ErrorReport.h"
#include "FFEncode.h"
#include "JobOptions.h"
#include "OpenFilter.h"
#include "Platform.h"
#include "UserDialogs.h"
#include "WorkingFiles.h"
#include "about.h"
#include "clip.h"
#include "conversion.h"
#include "errordlg.h"
#include "fileinfo.h"
#include "log.h"
#include "ui_main_form.h"

namespace {

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
    : QMainWindow(AParent),
      FFEncoder(new TFFEncoder),
      Forms(AForms),
      ui(new Ui::TMainForm),
      FSystem(new TSystemControl),
      FNotices(std::make_shared<TNoticeGate>()) {
    ui->setupUi(this);
    SetUpResizing();
    SetUpPreview();
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
    // A setting applies when its drop-down closes and whenever the user changes it otherwise
    // (keys, wheel); the current row moved by the keys selects its job's profile like a click.
    // Drop-down lists draw their items as list items, so the skin's current and hovered colours
    // apply (the default menu-like items ignore them).
    for (QComboBox* combo : findChildren<QComboBox*>()) combo->setItemDelegate(new QStyledItemDelegate(combo));
    for (QComboBox* combo : {ui->cmbAudioEncoder, ui->cmbSampleRate, ui->cmbAudioBitRate, ui->cmbChannel}) {
        WatchCloseUp(combo);
        connect(combo, &QComboBox::activated, this, [this] { ApplyProfileSettings(); });
    }
    connect(ui->chApplyToAll, &QCheckBox::clicked, this, &TMainForm::chApplyToAllClick);
    connect(ui->sgList, &QTableView::clicked, this, [this] { sgListClick(); });
    connect(ui->sgList->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        if (!FAdding) sgListClick();
    });
    connect(ui->sgList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& APos) { ui->ListMenu->popup(ui->sgList->viewport()->mapToGlobal(APos)); });

    // The encoder's events. Progress arrives on the main thread (the worker waits); termination
    // notices arrive on a notification thread and are handed to the main thread.
    FFEncoder->OnProgress = [this](void*, PProgressInfo AInfo) { FFEncoderProgress(AInfo); };
    FFEncoder->OnTerminate = [gate = FNotices, this](void*, const TTerminateInfo& AInfo) {
        ++gate->Pending;
        const TTerminateInfo info = AInfo;
        Synchronize([gate, this, info] {
            if (gate->Alive) FFEncoderTerminate(info);
        });
        --gate->Pending;
    };
    Forms.ConvForm->Attach(FFEncoder.get(), this, [this] { ConvFormCancel(); });
    if (Forms.ClipForm) {
        TClipHost host;
        host.AudioFiles = &AudioFiles;
        host.SelectedRow = [this] { return CurrentRow(); };
        host.UpdateEstimatedSize = [this](int AJob) {
            UpdateEstimatedSize(AudioFiles, Profiles, AJob);
            FAudioFilesModel->RepaintAll();
        };
        host.ShowErrorReport = [this](const QString& AMessage, const QString& AMark) { ShowErrorReport(AMessage, AMark); };
        host.EventsLogLine = [this](const QString& AText) { EventsLogLine(AText); };
        host.LogLine = [this](const QString& AText) { Forms.LogForm->AppendLine(AText); };
        Forms.ClipForm->Attach(std::move(host));
    }

    // Job list commands.
    for (QAction* a : {ui->Addaudiofiles1, ui->AddFiles1})
        connect(a, &QAction::triggered, this, &TMainForm::AddButtonClick);
    connect(ui->AddButton, &QPushButton::clicked, this, &TMainForm::AddButtonClick);
    connect(ui->EditButton, &QPushButton::clicked, this, &TMainForm::EditButtonClick);
    connect(ui->ClipButton, &QPushButton::clicked, this, &TMainForm::ClipButtonClick);
    for (QAction* a : {ui->EditAudio1, ui->TrimAudio1}) connect(a, &QAction::triggered, this, &TMainForm::ClipButtonClick);
    for (QAction* a : {ui->Remove1, ui->Remove2}) connect(a, &QAction::triggered, this, &TMainForm::Remove1Click);
    connect(ui->sgList, &TListGrid::DeletePressed, this, &TMainForm::Remove1Click);
    for (QAction* a : {ui->ClearAll1, ui->ClearAll2})
        connect(a, &QAction::triggered, this, &TMainForm::ClearAll1Click);
    for (QAction* a : {ui->Rename1, ui->Rename2}) connect(a, &QAction::triggered, this, &TMainForm::Rename1Click);
    for (QAction* a : {ui->MoveUp1, ui->MoveUp2}) connect(a, &QAction::triggered, this, &TMainForm::MoveUp1Click);
    for (QAction* a : {ui->MoveDown1, ui->MoveDown2})
        connect(a, &QAction::triggered, this, &TMainForm::MoveDown1Click);
    connect(ui->FileInformation1, &QAction::triggered, this, &TMainForm::FileInformation1Click);
    connect(ui->sgList, &QTableView::pressed, this, &TMainForm::sgListMouseDown);
    connect(ui->edDestinationTitle, &QLineEdit::returnPressed, this,
            [this] { edDestinationTitleKeyPress(Qt::Key_Return); });
    ui->edDestinationTitle->installEventFilter(this);
    // Files dropped from a file manager on the list (or the panel covering it) are added.
    for (QWidget* w : {static_cast<QWidget*>(ui->sgList->viewport()), static_cast<QWidget*>(ui->GettingStartedPanel)}) {
        w->setAcceptDrops(true);
        w->installEventFilter(this);
    }

    // Conversion run.
    for (QAction* a : {ui->StartConversion1}) connect(a, &QAction::triggered, this, &TMainForm::StartButtonClick);
    connect(ui->StartButton, &QPushButton::clicked, this, &TMainForm::StartButtonClick);
    connect(ui->spSkinButton1, &QPushButton::clicked, this, &TMainForm::spSkinButton1Click);
    connect(ui->spSkinButton3, &QPushButton::clicked, this, &TMainForm::spSkinButton3Click);
    connect(ui->chMerge, &QCheckBox::clicked, this, &TMainForm::chMergeClick);

    // Menus and buttons of this window; the trim and preview commands are connected by their
    // own units.
    connect(ui->Exit1, &QAction::triggered, this, &TMainForm::Exit1Click);
    connect(ui->oolsitem11, &QAction::triggered, this, &TMainForm::oolsitem11Click);
    connect(ui->OnlineGuide1, &QAction::triggered, this, &TMainForm::OnlineGuide1Click);
    connect(ui->Support1, &QAction::triggered, this, &TMainForm::Support1Click);
    connect(ui->SupportButton, &QPushButton::clicked, this, &TMainForm::Support1Click);
    connect(ui->OutputNamesButton, &QPushButton::clicked, this, &TMainForm::OutputNamesClick);
    connect(ui->OutputNames1, &QAction::triggered, this, &TMainForm::OutputNamesClick);
    connect(ui->ProductPage1, &QAction::triggered, this, &TMainForm::ProductPage1Click);
    connect(ui->About1, &QAction::triggered, this, &TMainForm::About1Click);

    FormCreate();
}

TMainForm::~TMainForm() {
    TearDownPreview();
    // No notice reaches the window from here on; a running conversion is stopped and every
    // notice already on its way is let through (as a no-op) before the encoder goes.
    FNotices->Alive = false;
    if (FFEncoder->Working() && !FFEncoder->Terminated()) FFEncoder->Stop(true);
    WaitPumping([this] { return (!FFEncoder->Working() || FFEncoder->Terminated()) && FNotices->Pending == 0; },
                std::chrono::milliseconds(10), std::chrono::milliseconds(10000));
    FFEncoder->OnProgress = nullptr;
    FFEncoder->OnTerminate = nullptr;
    // The encoder goes while the window is whole: its destruction pumps the event loop.
    FFEncoder.reset();
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
    // Simultaneous conversions: 1 to the number of cores, all of them unless stored otherwise.
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    ui->edSimultaneous->setRange(1, cores);
    ui->edSimultaneous->setValue(cores);
    FSettingsLoaded = true;
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
            int simultaneous = 0;
            if (ReadInt(settings, "SimultaneousConversions", simultaneous)) ui->edSimultaneous->setValue(simultaneous);
            int loudness = 0;
            if (ReadInt(settings, "Loudness", loudness) && loudness >= 0 && loudness < ui->cmbLoudness->count())
                ui->cmbLoudness->setCurrentIndex(loudness);
            int verify = 0;
            if (ReadInt(settings, "VerifyOutputs", verify)) ui->chVerifyOutputs->setChecked(verify != 0);
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

    // 12: the media libraries; without them the program keeps running and tries again when
    // files are added.
    LoadMediaLibraries("CLM_FFAVLibLoad");

    // 13: working files that killed conversions left in the output folder.
    RemoveStaleWorkingFiles(ui->edDestinationFolder->text().toStdString());
}

// The form is laid out at its designed size; a larger window grows the list and the seek bar
// and keeps the settings, the play time and Start at the right and the controls at the bottom.
void TMainForm::SetUpResizing() {
    const QSize designed = size();
    enum : int { Right = 1, Bottom = 2, Wider = 4, Taller = 8 };
    const std::pair<QWidget*, int> anchors[] = {
        {ui->Notebook1, Wider | Taller},        {ui->GettingStartedPanel, Wider | Taller},
        {ui->sgList, Wider | Taller},           {ui->GettingStartedImage, Wider | Taller},
        {ui->VideoTrackBar, Bottom | Wider},    {ui->PlayButton, Bottom},
        {ui->PauseButton, Bottom},              {ui->StopButton, Bottom},
        {ui->VolumeTrackBar, Bottom},           {ui->lblPlayTime, Right | Bottom},
        {ui->panPreview, Right | Bottom},       {ui->gbOutputSettings, Right},
        {ui->SupportButton, Bottom},            {ui->OutputNamesButton, Bottom},
        {ui->StartButton, Right | Bottom}};
    for (const auto& [widget, anchor] : anchors) FAnchors.push_back({widget, widget->geometry(), anchor});
    FDesignedSize = designed;
    setMinimumSize(designed);
    // Wide enough for the five columns of the list at their initial widths.
    resize(designed.width() + 150, designed.height() + 40);
}

void TMainForm::resizeEvent(QResizeEvent* AEvent) {
    QMainWindow::resizeEvent(AEvent);
    if (FAnchors.empty()) return;
    const int dx = std::max(0, width() - FDesignedSize.width());
    const int dy = std::max(0, height() - FDesignedSize.height());
    for (const TAnchor& a : FAnchors) {
        QRect r = a.Designed;
        if (a.Anchor & 1) r.translate(dx, 0);
        if (a.Anchor & 2) r.translate(0, dy);
        if (a.Anchor & 4) r.setWidth(r.width() + dx);
        if (a.Anchor & 8) r.setHeight(r.height() + dy);
        a.Widget->setGeometry(r);
    }
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
    // While files are added the window cannot go: the add loop stops at the next file and then
    // closes it.
    if (FAdding) {
        FCloseRequested = true;
        AEvent->ignore();
        return;
    }
    FormClose();
    QMainWindow::closeEvent(AEvent);
}

void TMainForm::FormClose() {
    PreviewStop();
    SaveSettings();
}

void TMainForm::SaveSettings() {
    // A start that did not get as far as reading the settings has nothing of them to keep.
    if (!FSettingsLoaded) return;
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
            settings.setValue("SimultaneousConversions", ui->edSimultaneous->value());
            settings.setValue("Loudness", ui->cmbLoudness->currentIndex());
            settings.setValue("VerifyOutputs", ui->chVerifyOutputs->isChecked() ? 1 : 0);
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
    UpdateAllEstimates();
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
    if (!ui) return QMainWindow::eventFilter(AWatched, AEvent);
    if (AWatched == ui->edDestinationTitle && AEvent->type() == QEvent::FocusOut) {
        edDestinationTitleExit();
        return false;
    }
    if (AWatched == ui->sgList->viewport() || AWatched == ui->GettingStartedPanel) {
        auto localFiles = [](const QMimeData* AData) {
            QStringList files;
            if (AData && AData->hasUrls())
                for (const QUrl& url : AData->urls())
                    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
                        files << QDir::toNativeSeparators(url.toLocalFile());
            return files;
        };
        switch (AEvent->type()) {
            case QEvent::DragEnter:
            case QEvent::DragMove: {
                auto* e = static_cast<QDragMoveEvent*>(AEvent);
                if (!localFiles(e->mimeData()).isEmpty()) {
                    e->setDropAction(Qt::CopyAction);
                    e->accept();
                    return true;
                }
                break;
            }
            case QEvent::Drop: {
                auto* e = static_cast<QDropEvent*>(AEvent);
                const QStringList files = localFiles(e->mimeData());
                if (files.isEmpty()) break;
                e->setDropAction(Qt::CopyAction);
                e->accept();
                // The drag source waits for the drop to end; the files are added afterwards.
                QTimer::singleShot(0, this, [this, files] { AddDroppedFiles(files); });
                return true;
            }
            default: break;
        }
    }
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
    // Application-modal and stacked over the dialog the user is working in (the conversion
    // dialog during a run), so nothing under it can be pressed or cover it.
    form->setWindowModality(Qt::ApplicationModal);
    QWidget* over = QApplication::activeModalWidget();
    form->winId();
    if (over && over != form && over->windowHandle())
        form->windowHandle()->setTransientParent(over->windowHandle());
    const int answer = form->exec();
    form->windowHandle()->setTransientParent(nullptr);
    if (answer != QDialog::Accepted) return;

    const TReportMailAccount account = TReportMailAccount::Load();
    TReportMail mail;
    const QString email = form->edEmail()->text();
    if (email.contains('@')) mail.ReplyTo = email;  // the mail itself is the account's
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

    // The transfer runs on a worker while the error dialog shows again with Cancel working;
    // input to this window stays blocked so no command starts in the middle of the report.
    setEnabled(false);
    const TErrorForm::TSendResult sent = form->SendModal([&](const std::atomic<bool>& ACancel) {
        QString error;
        return SendReportMail(account, mail, error, &ACancel);
    });
    setEnabled(true);
    if (sent == TErrorForm::srFailed) ShellOpen(ReportMailtoUrl(account.Recipient, AMessage, AMark));
}

// ---- menu and buttons

void TMainForm::Exit1Click() { close(); }
void TMainForm::oolsitem11Click() { Forms.LogForm->exec(); }
void TMainForm::OnlineGuide1Click() { ShellOpen(QUrl(OnlineGuideUrl)); }
void TMainForm::Support1Click() { ShellOpen(QUrl(SupportPageUrl)); }
void TMainForm::ProductPage1Click() { ShellOpen(QUrl(ProductPageUrl)); }
void TMainForm::About1Click() { Forms.AboutForm->exec(); }

// ---- operating system

QString TMainForm::PrepareSDLCopy(int AIndex) { return ::PrepareSDLCopy(AIndex); }

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

// ---- job list

namespace {

// File name of a path, without folder.
QString FileNameOf(const QString& APath) { return QFileInfo(APath).fileName(); }

}  // namespace

QString TMainForm::LibraryFolder() const { return ApplicationFolder() + "LibAV"; }

bool TMainForm::LoadMediaLibraries(const QString& AMark) {
    if (FFEncoder->AVLibLoaded()) return true;
    if (FFEncoder->LoadAVLib(LibraryFolder().toStdString())) return true;
    const QString message = QString::fromStdString(FFEncoder->LastErrMsg());
    ShowErrorReport(message, AMark);
    EventsLogLine("-> " + message);
    return false;
}

void TMainForm::SetListCommandsEnabled(bool AEnabled) {
    // The preview's buttons too: with no job there is nothing to play.
    for (QWidget* w : {static_cast<QWidget*>(ui->EditButton), static_cast<QWidget*>(ui->ClipButton),
                       static_cast<QWidget*>(ui->SettingsButton), static_cast<QWidget*>(ui->PlayButton),
                       static_cast<QWidget*>(ui->PauseButton), static_cast<QWidget*>(ui->StopButton)})
        w->setEnabled(AEnabled);
    for (QAction* a : {ui->Remove2, ui->ClearAll2, ui->Rename2, ui->MoveUp2, ui->MoveDown2, ui->TrimAudio1,
                       ui->FileInformation1})
        a->setEnabled(AEnabled);
}

void TMainForm::RefreshList(int ARow) {
    FAudioFilesModel->Reload();
    if (ARow >= 1 && ARow <= static_cast<int>(AudioFiles.size())) SetCurrentRow(ARow);
}

void TMainForm::AddButtonClick() {
    if (FAdding) return;
    if (!LoadMediaLibraries("CLM_FFLoadAVLib2")) return;
    if (!PreviewLoadSDL()) return;
    const QStringList files =
        ExecuteOpenDialog(this, dlgopen.Title, dlgopen.InitialDir, dlgopen.Filter, dlgopen.FilterIndex);
    if (files.isEmpty()) return;
    dlgopen.Files = files;
    dlgopen.InitialDir = QFileInfo(files.first()).path();
    AddFiles(files);
}

void TMainForm::AddDroppedFiles(const QStringList& AFiles) {
    if (FAdding || AFiles.isEmpty()) return;
    if (!LoadMediaLibraries("CLM_FFLoadAVLib2")) return;
    if (!PreviewLoadSDL()) return;
    AddFiles(AFiles);
}

void TMainForm::AddFiles(const QStringList& AFiles, bool ASummary) {
    QStringList refused;
    FAdding = true;
    ui->GettingStartedPanel->hide();
    ui->sgList->show();
    SetListCommandsEnabled(true);

    // Probing runs here on the main thread, one file at a time; between files the window is
    // repainted, and a list that takes a while shows its progress, which can cancel the rest.
    // The progress box is shown only here, between files, never by a timer of its own: it must
    // not open over a message box the user has to answer.
    std::unique_ptr<QProgressDialog> progress;
    QElapsedTimer elapsed;
    elapsed.start();
    if (AFiles.size() > 1) {
        progress = std::make_unique<QProgressDialog>("Adding files...", "Cancel", 0,
                                                     static_cast<int>(AFiles.size()), this);
        progress->setWindowTitle("Open file");
        progress->setWindowModality(Qt::WindowModal);
        progress->setMinimumDuration(std::numeric_limits<int>::max());
        progress->setAutoClose(false);
        progress->setAutoReset(false);
    }
    TFFDecoder* probe = FFEncoder->Decoder();
    // The window and the progress box are brought up to date every few milliseconds, not for
    // every file: a long list adds at the speed of the probe.
    qint64 shown = -1000;
    for (int i = 0; i < AFiles.size(); ++i) {
        const QString& file = AFiles[i];
        if (FCloseRequested) break;
        if (elapsed.elapsed() - shown >= 15) {
            shown = elapsed.elapsed();
            if (progress) {
                if (progress->wasCanceled()) break;
                progress->setLabelText(
                    QString("Adding files... %1 of %2\n%3").arg(i + 1).arg(AFiles.size()).arg(FileNameOf(file)));
                progress->setValue(i);
                if (!progress->isVisible() && elapsed.elapsed() >= 400) progress->show();
            }
            QCoreApplication::processEvents();
            if (FCloseRequested || (progress && progress->wasCanceled())) break;
        }
        TAudioFile job;
        TJobRefusal refusal;
        if (!ProbeNewJob(*probe, file.toStdString(), CurrentProfileInd, job, refusal)) {
            Forms.LogForm->AppendLine(QString());
            EventsLogLine("-> " + QString::fromStdString(refusal.LogText));
            Forms.LogForm->AppendLine(QString());
            if (ASummary)
                refused << QString::fromStdString(refusal.Message);
            else
                ShowMessageBox(this, mkInformation, QString::fromStdString(refusal.Message));
            continue;
        }
        EventsLogLine("-> Added file " + file);
        FAudioFilesModel->Append(std::move(job));
        UpdateEstimatedSize(AudioFiles, Profiles, static_cast<int>(AudioFiles.size()) - 1);
    }
    progress.reset();
    if (!refused.isEmpty()) {
        // One box for the whole list; a long one names the first refusals, the log has them all.
        constexpr int kShown = 15;
        QString text = QString("%1 of %2 files were not added:\n").arg(refused.size()).arg(AFiles.size()) +
                       QStringList(refused.mid(0, kShown)).join('\n');
        if (refused.size() > kShown)
            text += QString("\n... and %1 more (see the events log).").arg(refused.size() - kShown);
        ShowMessageBox(this, mkInformation, text);
    }

    ui->Notebook1->setCurrentIndex(1);
    if (!AudioFiles.empty()) {
        if (CurrentRow() < 1) SetCurrentRow(1);
        sgListClick();
    }
    FAdding = false;
    if (FCloseRequested) {
        FCloseRequested = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void TMainForm::EditButtonClick() { Remove1Click(); }

void TMainForm::ClipButtonClick() {
    if (FAdding || !Forms.ClipForm) return;
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    PreviewStop();
    Forms.ClipForm->exec();
}

void TMainForm::Remove1Click() {
    if (FAdding) return;
    const int n = static_cast<int>(AudioFiles.size());
    if (n == 0) return;
    const int r = CurrentRow();
    if (n == 1 && r == 1) {
        ClearAll1Click();
        return;
    }
    if (r < 1 || r > n) return;
    // Several selected rows go together; the row after the first of them becomes current.
    std::vector<int> rows;
    for (const QModelIndex& i : ui->sgList->selectionModel()->selectedRows())
        if (i.row() < n) rows.push_back(i.row());
    if (rows.size() > 1) {
        if (static_cast<int>(rows.size()) == n) {
            ClearAll1Click();
            return;
        }
        std::sort(rows.begin(), rows.end());
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) AudioFiles.erase(AudioFiles.begin() + *it);
        RefreshList(std::min(rows.front() + 1, static_cast<int>(AudioFiles.size())));
        return;
    }
    for (int i = r; i <= n - 1; ++i) SwapAudioFiles(i - 1, i);
    AudioFiles.pop_back();
    RefreshList(std::min(r, n - 1));
}

void TMainForm::ClearAll1Click() {
    if (FAdding) return;
    ui->edDestinationTitle->hide();
    AudioFiles.clear();
    FAudioFilesModel->DropPlaceholderRow();
    SetListCommandsEnabled(false);
}

void TMainForm::MoveUp1Click() {
    if (FAdding) return;
    if (AudioFiles.size() < 2) return;
    const int r = CurrentRow();
    if (r > 1 && r <= static_cast<int>(AudioFiles.size())) {
        SwapAudioFiles(r - 2, r - 1);
        SetCurrentRow(r - 1);
    }
    FAudioFilesModel->RepaintAll();
}

void TMainForm::MoveDown1Click() {
    if (FAdding) return;
    if (AudioFiles.size() < 2) return;
    const int r = CurrentRow();
    if (r >= 1 && r < static_cast<int>(AudioFiles.size())) {
        SwapAudioFiles(r - 1, r);
        SetCurrentRow(r + 1);
    }
    FAudioFilesModel->RepaintAll();
}

void TMainForm::SwapAudioFiles(int A, int B) {
    std::swap(AudioFiles.at(static_cast<size_t>(A)), AudioFiles.at(static_cast<size_t>(B)));
}

void TMainForm::Rename1Click() {
    if (FAdding) return;
    const int r = CurrentRow();
    if (r >= 1 && r <= static_cast<int>(AudioFiles.size())) OpenTitleEditor(r);
}

void TMainForm::sgListMouseDown(const QModelIndex& AIndex) {
    if (AIndex.isValid() && AIndex.column() == 3 && AIndex.row() < static_cast<int>(AudioFiles.size()))
        OpenTitleEditor(AIndex.row() + 1);
}

void TMainForm::OpenTitleEditor(int ARow) {
    QLineEdit* editor = ui->edDestinationTitle;
    ui->sgList->scrollTo(FAudioFilesModel->index(ARow - 1, 3));
    const QRect cell = ui->sgList->visualRect(FAudioFilesModel->index(ARow - 1, 3));
    const QPoint topLeft = ui->sgList->viewport()->mapTo(editor->parentWidget(), cell.topLeft());
    editor->setGeometry(topLeft.x(), topLeft.y() - 1, ui->sgList->columnWidth(3), editor->height());
    editor->setText(QString::fromStdString(AudioFiles[static_cast<size_t>(ARow - 1)].DestinationTitle));
    editor->show();
    editor->raise();
    editor->setFocus();
    editor->selectAll();
}

void TMainForm::edDestinationTitleExit() {
    QLineEdit* editor = ui->edDestinationTitle;
    if (editor->isHidden()) return;
    const QString text = editor->text();
    editor->hide();  // before anything else: hiding moves the focus, which calls here again
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    // A title that cannot name a file is refused and the old one kept.
    const TProfile* profile = JobProfile(AudioFiles[static_cast<size_t>(r - 1)], Profiles);
    const QString refusal =
        DestinationTitleRefusal(text, profile ? QString::fromStdString(profile->FormatExt) : QString());
    if (!refusal.isEmpty()) {
        ShowMessageBox(this, mkWarning, refusal);
        return;
    }
    TAudioFile& job = AudioFiles[static_cast<size_t>(r - 1)];
    if (job.DestinationTitle != text.toStdString()) job.DestinationEdited = true;
    job.DestinationTitle = text.toStdString();
    FAudioFilesModel->RepaintAll();
}

QString DestinationTitleRefusal(const QString& ATitle, const QString& AExtension) {
    if (ATitle.trimmed().isEmpty()) return "The destination file name cannot be empty.";
    if (const qsizetype bytes = (ATitle + AExtension).toUtf8().size(); bytes > 255)
        return QString("The destination file name is too long: %1 bytes with its extension, at most 255.").arg(bytes);
    if (ATitle == "." || ATitle == "..") return "\"" + ATitle + "\" cannot be a destination file name.";
#ifdef _WIN32
    const QString forbidden = "\\/:*?\"<>|";
#else
    const QString forbidden = "/";
#endif
    for (const QChar c : ATitle)
        if (forbidden.contains(c) || c.unicode() < 32)
            return "The destination file name \"" + ATitle + "\" contains a character that file names cannot hold" +
                   (c.unicode() < 32 ? QString(".") : ": " + QString(c));
    return {};
}

void TMainForm::edDestinationTitleKeyPress(int AKey) {
    if (AKey != Qt::Key_Return && AKey != Qt::Key_Enter) return;
    edDestinationTitleExit();
    ui->sgList->setFocus();
}

// ---- file information

void TMainForm::FileInformation1Click() {
    if (FAdding) return;
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    const TAudioFile& job = AudioFiles[static_cast<size_t>(r - 1)];
    TFFDecoder* probe = FFEncoder->Decoder();
    if (!probe->LoadFile(job.Source)) {
        const QString error = QString::fromStdString(probe->LastErrMsg());
        Forms.LogForm->AppendLine(QString());
        EventsLogLine("-> File load error: " + error);
        Forms.LogForm->AppendLine(QString());
        ShowErrorReport("Error getting file info! " + error, "CLM_ProbeLoadFile");
        return;
    }
    TFileInfoForm* form = Forms.FileInfoForm;
    form->spSkinLabel2()->setText(FileNameOf(QString::fromStdString(job.Source)));
    form->spSkinLabel3()->setText(DurationText(probe->FileStreamInfo().Duration));
    // The first audio stream is the one a conversion takes; without one the labels stay empty.
    for (QLabel* label : {form->spSkinLabel6(), form->spSkinLabel7(), form->spSkinLabel8()}) label->clear();
    try {
        for (int i = 0; i < probe->StreamCount(); ++i) {
            if (!probe->IsAudioStream(i) || probe->IsVideoStream(i)) continue;
            const TAudioStreamInfo audio = probe->GetAudioStreamInfo(i);
            form->spSkinLabel7()->setText(QString::number(audio.Channels) + " channel");
            form->spSkinLabel6()->setText(QString::number(audio.SampleRate) + " Hz");
            form->spSkinLabel8()->setText(audio.BitRate <= 0 ? QString("is not preseted")
                                                             : QString::number(audio.BitRate / 1000) + " Kb");
            break;
        }
    } catch (const std::exception&) {
        ShowErrorReport("Error writing file info", "CLM_WriteFileInfo");
    }
    form->exec();
}

// ---- conversion run

QString TMainForm::FallbackOutputFolder() {
#ifdef _WIN32
    return "c:\\quendral_temp";
#else
    return QDir::tempPath() + "/" + QString::fromStdString(UserFolderName("quendral_temp"));
#endif
}

void TMainForm::StartButtonClick() {
    if (FAdding) return;
    // Failures the steps do not report themselves (a value that is not a number, an encoder
    // that refuses the call) end the command with a message box and no run.
    try {
        StartConversion();
    } catch (const std::exception& e) {
        ShowMessageBox(this, mkError, QString::fromStdString(e.what()));
    }
}

void TMainForm::FillOptions(int AJob, bool AMerge, int AVolume, TInputOptions& AInput,
                            TOutputOptions& AOutput) const {
    TRunSettings settings;
    settings.Merge = AMerge;
    settings.Volume = AVolume;
    settings.Loudness = ui->cmbLoudness->currentIndex();
    settings.Verify = ui->chVerifyOutputs->isChecked();
    FillJobOptions(AudioFiles[static_cast<size_t>(AJob)], AJob, Profiles, settings,
                   AMerge ? std::string() : FRunOutputs[static_cast<size_t>(AJob)], AInput, AOutput);
}

void TMainForm::StartConversion() {
    // 1-2: jobs to convert; the merge limit.
    const int n = static_cast<int>(AudioFiles.size());
    if (n == 0) return;
    const bool merge = ui->chMerge->isChecked();
    if (merge && n >= 21) {
        ShowMessageBox(this, mkWarning, "Cannot merge more than 20 files.");
        return;
    }

    // 3: the output folder, or the fallback folder when it is missing.
    OutputFolder = ui->edDestinationFolder->text();
    if (OutputFolder.isEmpty() || !QFileInfo(OutputFolder).isDir()) {
        const QString fallback = FallbackOutputFolder();
        ShowMessageBox(this, mkWarning, "Output folder does not exit. Converting to \"" + fallback + "\".");
        std::string refused;  // a folder of this user alone: others may not plant links there
        if (!MakePrivateFolder(Utf8ToPath(fallback.toStdString()), refused)) {
            ShowMessageBox(this, mkWarning,
                           "Could not create temporary directory. Please choose another output folder.");
            return;
        }
        OutputFolder = fallback;
    }

    // Nothing starts when a job would overwrite a source, or when a chosen value is not a
    // number: all of it is checked before the encoder opens any file. Outputs that exist are
    // written over, skipped or renamed as the naming settings or the user say.
    int mergeJob = CurrentRow() - 1;
    if (mergeJob < 0 || mergeJob >= n) mergeJob = 0;
    if (!PlanRunOutputs(merge, mergeJob)) return;
    const int volume = static_cast<int>(std::lround(ui->edVolume->value() * 256.0 / 100.0));
    std::vector<TInputOptions> inputs(static_cast<size_t>(n));
    std::vector<TOutputOptions> outputs(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) FillOptions(i, merge, volume, inputs[static_cast<size_t>(i)], outputs[static_cast<size_t>(i)]);

    // 4-5: the preview stops; the encoder is emptied and the records take their places.
    PreviewStop();
    FFEncoder->ClearTasks();
    InputOptionsList = std::move(inputs);
    OutputOptionsList = std::move(outputs);

    // 6: one task per job, or one task with every job as an input.
    auto fail = [this](const QString& APrefix, const char* AMark) {
        const QString message = APrefix + QString::fromStdString(FFEncoder->LastErrMsg());
        ShowErrorReport(message, AMark);
        EventsLogLine("-> " + message);
    };
    FTaskJob.clear();
    for (int i = 0; i < n; ++i) {
        if (FRunOutputs[static_cast<size_t>(i)].empty()) continue;  // skipped: its output exists
        const TAudioFile& job = AudioFiles[static_cast<size_t>(i)];
        TInputOptions* input = &InputOptionsList[static_cast<size_t>(i)];
        if (!merge || FTaskJob.empty()) FTaskJob.push_back(i);
        if (merge && FFEncoder->TasksCount() == 0) {
            if (FFEncoder->AddTask(job.Source, input) < 0) return fail("", "CLM_FFAddTaskToMerged");
        } else if (merge) {
            if (!FFEncoder->AddInputFile(0, job.Source, input)) return fail("", "CLM_FFAddInputFileToMerged");
        } else {
            const int task = FFEncoder->AddTask(job.Source, input);
            if (task < 0) return fail("", "CLM_FFAddTaskToMerged");
            TOutputOptions* output = &OutputOptionsList[static_cast<size_t>(i)];
            if (!FFEncoder->SetOutputFile(task, output->FileName, output))
                return fail("Cannot set output file: ", "CLM_SetOutputFile");
        }
    }

    // 7: the merged output takes the selected job's profile (the first job when none is selected).
    if (merge) {
        TOutputOptions* output = &OutputOptionsList[static_cast<size_t>(mergeJob)];
        output->Join = true;
        if (!FFEncoder->SetOutputFile(0, FRunOutputs.front(), output))
            return fail("Cannot set output file (Merge): ", "CLM_SetOutputFileMerge");
    }

    // 8-9: run the tasks one after another while the conversion dialog shows the progress.
    EventsLogLine("-> Started conversion");
    FCancelled = false;
    FFailedTasks = 0;
    FRunFailures.clear();
    FRunClock.start();
    FRunTasks = FFEncoder->TasksCount();
    FRunMerged = merge;
    // Separate jobs run up to the chosen number at once; a merge is one task.
    FRunThreads = merge ? 1 : std::min(ui->edSimultaneous->value(), FRunTasks);
    FTaskDone.assign(static_cast<size_t>(FRunTasks), 0.0);
    TConvForm* conv = Forms.ConvForm;
    conv->ResetJobs();
    conv->ProgressCurrent()->setValue(0);
    conv->ProgressTotal()->setValue(0);
    conv->SetConvertingTitle("Converting...");
    FFEncoder->Start(FRunThreads);
    conv->exec();
}

void TMainForm::FFEncoderProgress(PProgressInfo AProgressInfo) {
    const TProgressInfo& p = *AProgressInfo;
    const int j = p.TaskIndex;
    const int n = FFEncoder->TasksCount();
    // A total duration that is not known (0 or below) shows no progress within the task.
    const bool known = p.TotalDuration > 0;
    const int64_t current = std::clamp<int64_t>(known ? p.CurrentDuration * 100 / p.TotalDuration : 0, 0, 100);
    // The run's gauge: each ended task counts whole, each running one by its share done. One at
    // a time, every task before the reporting one has ended (its notice may still be on its way).
    if (static_cast<int>(FTaskDone.size()) < n) FTaskDone.resize(static_cast<size_t>(n), 0.0);
    if (FRunThreads <= 1)
        for (int k = 0; k < j && k < static_cast<int>(FTaskDone.size()); ++k) FTaskDone[static_cast<size_t>(k)] = 1.0;
    // A verifying task has converted all of its share; its own bar shows the verification.
    if (j >= 0 && j < static_cast<int>(FTaskDone.size()))
        FTaskDone[static_cast<size_t>(j)] =
            p.Verifying ? 1.0
            : known     ? std::clamp(static_cast<double>(p.CurrentDuration) / static_cast<double>(p.TotalDuration), 0.0, 1.0)
                        : 0.0;
    if (n > 0) {
        double done = 0;
        for (double d : FTaskDone) done += d;
        Forms.ConvForm->ProgressTotal()->setValue(std::clamp(static_cast<int>(std::lround(100.0 * done / n)), 0, 100));
    }
    QString title;
    if (const int job = TaskJob(j); job >= 0) {
        const TAudioFile& file = AudioFiles[static_cast<size_t>(job)];
        const TProfile* profile = JobProfile(file, Profiles);
        const std::string output = static_cast<size_t>(job) < FRunOutputs.size()
                                       ? PathToUtf8(Utf8ToPath(FRunOutputs[static_cast<size_t>(job)]).filename())
                                       : file.DestinationTitle + (profile ? profile->FormatExt : std::string());
        title = p.Verifying ? "Verifying \"" + QString::fromStdString(output) + "\""
                            : "Converting \"" + QString::fromStdString(file.SourceTitleExt) + "\" to \"" +
                                  QString::fromStdString(output) + "\"";
    }
    Forms.ConvForm->SetJobProgress(j, title, static_cast<int>(current), p.Verifying);
}

void TMainForm::FFEncoderTerminate(const TTerminateInfo& ATerminateInfo) {
    TConvForm* conv = Forms.ConvForm;
    // An ended task counts whole in the run's gauge and leaves the dialog's rows.
    if (const int j = ATerminateInfo.TaskIndex; j >= 0) {
        if (j < static_cast<int>(FTaskDone.size())) FTaskDone[static_cast<size_t>(j)] = 1.0;
        conv->EndJob(j);
    }
    // A task error goes to the events log and the conversion dialog, which goes on showing the
    // remaining tasks; the error report is offered once, when the run has ended.
    if (ATerminateInfo.Exception) {
        ++FFailedTasks;
        const QString message = "Conversion terminated with error: " + TaskName(ATerminateInfo.TaskIndex) + ": " +
                                QString::fromStdString(ATerminateInfo.ExceptionMsg);
        FRunFailures << message;
        EventsLogLine("-> " + message);
        conv->AddFailure(TaskName(ATerminateInfo.TaskIndex), QString::fromStdString(ATerminateInfo.ExceptionMsg));
    }
    if (ATerminateInfo.TaskIndex >= 0 && ATerminateInfo.Finished) LogLoudness(ATerminateInfo.TaskIndex);
    if (ATerminateInfo.TaskIndex >= 0 && ATerminateInfo.Finished && ATerminateInfo.Verified != vrNone)
        EventsLogLine("-> " + TaskName(ATerminateInfo.TaskIndex) +
                      (ATerminateInfo.Verified == vrBitExact ? ": verified bit-exact" : ": verified length"));
    if (ATerminateInfo.TaskIndex < 0 && ATerminateInfo.Finished) {
        InputOptionsList.clear();
        OutputOptionsList.clear();
        // A run the user cancelled, or one in which a task failed, ends here: no success line,
        // no shutdown, no folder opening.
        if (FCancelled) {
            FCancelled = false;
            conv->CloseForm();
        } else if (FFailedTasks > 0) {
            const QString summary =
                QString("Conversion finished with errors: %1 of %2 jobs failed.").arg(FFailedTasks).arg(FRunTasks);
            EventsLogLine("-> " + summary);
            conv->CloseForm();
            NotifyRunEnded(this, FRunClock.elapsed(), FRunTasks - FFailedTasks, FFailedTasks);
            const QString first = FRunFailures.isEmpty() ? QString() : FRunFailures.first();
            ShowErrorReport(FFailedTasks == 1 ? first : summary + "\n" + FRunFailures.join('\n'), "CLM_Terminate");
        } else {
            const bool shutdown = conv->cbShutdownPC()->isChecked();
            if (shutdown) {
                SaveSettings();
                ShutdownComputer();
            } else {
                EventsLogLine("-> Conversion successfully done.");
                NotifyRunEnded(this, FRunClock.elapsed(), FRunTasks, 0);
            }
            conv->CloseForm();
            if (conv->cbOpenOutput()->isChecked() && !shutdown) ShellOpen(QUrl::fromLocalFile(OutputFolder));
        }
    }
}

// The events log line of a finished task's loudness, when the run measured it.
void TMainForm::LogLoudness(int ATask) {
    if (ui->cmbLoudness->currentIndex() <= 0 || ATask >= FFEncoder->TasksCount()) return;
    const TLoudness& l = FFEncoder->Tasks(ATask)->MeasuredLoudness();
    // The true peak where it was measured, else the sample peak.
    const QString peak = std::isnan(l.TruePeak) ? QString::asprintf("sample peak %.1f dBFS", l.SamplePeak)
                                                : QString::asprintf("true peak %.1f dBTP", l.TruePeak);
    EventsLogLine(QString("-> Loudness (%1) of %2: %3 LUFS, %4, gain %5 dB")
                      .arg(ui->cmbLoudness->currentText(), TaskName(ATask))
                      .arg(l.Integrated, 0, 'f', 1)
                      .arg(peak, QString::asprintf("%+.1f", l.Gain)));
}

int TMainForm::TaskJob(int ATask) const {
    // Before a planned run, task and job are one.
    const int job = FTaskJob.empty() ? ATask
                    : ATask >= 0 && ATask < static_cast<int>(FTaskJob.size()) ? FTaskJob[static_cast<size_t>(ATask)]
                                                                                : -1;
    return job >= 0 && job < static_cast<int>(AudioFiles.size()) ? job : -1;
}

QString TMainForm::TaskName(int ATask) const {
    if (ATask < 0) return "the conversion";
    if (ui->chMerge->isChecked() || FRunMerged) return "the merged file";
    const int job = TaskJob(ATask) >= 0 ? TaskJob(ATask) : ATask;
    if (job >= static_cast<int>(AudioFiles.size())) return QString("job %1").arg(job + 1);
    return QString("job %1 (\"%2\")")
        .arg(job + 1)
        .arg(QString::fromStdString(AudioFiles[static_cast<size_t>(job)].SourceTitleExt));
}

void TMainForm::ConvFormCancel() {
    FCancelled = true;
    FFEncoder->Stop(true);
    EventsLogLine("-> Conversion cancelled by user");
}

void TMainForm::spSkinButton1Click() {
    const QString folder = ExecuteFolderDialog(this, ui->edDestinationFolder->text());
    if (!folder.isEmpty()) ui->edDestinationFolder->setText(QDir::toNativeSeparators(folder));
}

void TMainForm::spSkinButton3Click() { ShellOpen(QUrl::fromLocalFile(ui->edDestinationFolder->text())); }

void TMainForm::chMergeClick() {}
