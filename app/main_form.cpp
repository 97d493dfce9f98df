#include "main_form.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStyledItemDelegate>
#include <QCheckBox>
#include <thread>

#include "AppShell.h"
#include "ListGrid.h"
#include "Dispatcher.h"
#include "ErrorReport.h"
#include "FFEncode.h"
#include "JobOptions.h"
#include "OpenFilter.h"
#include "Platform.h"
#include "WorkingFiles.h"
#include "about.h"
#include "clip.h"
#include "conversion.h"
#include "log.h"
#include "ui_main_form.h"

namespace {

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
        if (FAdding) return;
        sgListClick();
        PreviewSelectionChanged();
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

    // 8: default output folder; 9: stored settings.
    MakeDefaultOutputFolder();
    ReadSettings();

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

// The default output folder, created one level at a time. Without a documents folder there is
// nothing to build it on (it would land in the file-system root).
void TMainForm::MakeDefaultOutputFolder() {
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
}

// The stored settings; an unreadable store leaves the defaults and says so in the log.
void TMainForm::ReadSettings() {
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

// Menu and buttons: they only route.

void TMainForm::Exit1Click() { close(); }
void TMainForm::oolsitem11Click() { Forms.LogForm->exec(); }
void TMainForm::OnlineGuide1Click() { ShellOpen(QUrl(OnlineGuideUrl)); }
void TMainForm::Support1Click() { ShellOpen(QUrl(SupportPageUrl)); }
void TMainForm::ProductPage1Click() { ShellOpen(QUrl(ProductPageUrl)); }
void TMainForm::About1Click() { Forms.AboutForm->exec(); }
