// The main window's preview: FFPlayer plays the selected job through the transport bar (play,
// pause, stop, seek bar, volume bar, time label). Main thread only; the player's file-open,
// position and state events arrive on the main thread.
#include <QButtonGroup>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>

#include "AppShell.h"
#include "FFPlay.h"
#include "PlayerScreen.h"
#include "log.h"
#include "main_form.h"
#include "ui_main_form.h"

namespace {

// The primary mouse button is still down (a drag of the seek bar's thumb or groove goes on).
bool PrimaryButtonDown() { return QGuiApplication::mouseButtons() & Qt::LeftButton; }

}  // namespace

QString PlayTimeText(int64_t APosition, int64_t ADuration) {
    return DurationText(APosition) + " / " + DurationText(ADuration);
}

void TMainForm::SetUpPreview() {
    FFPlayer = std::make_unique<TFFPlayer>();
    // The preview is heard, never seen: its host stays hidden, so pictures are not even decoded.
    FFPlayer->SetDisableVideo(true);
    FScreenControl = ui->panPreview;
    // The player draws into the host filling panPreview (hidden there: nothing is drawn).
    FPlayerScreen = new TPlayerScreen(ui->panPreview);
    FPlayerScreen->setObjectName("PlayerScreen");
    FPlayerScreen->setGeometry(ui->panPreview->rect());
    FPlayButtons = new QButtonGroup(this);
    for (QPushButton* b : {ui->PlayButton, ui->PauseButton}) {
        b->setCheckable(true);
        FPlayButtons->addButton(b);
    }
    FPlayButtons->setExclusive(true);
    connect(ui->PlayButton, &QPushButton::clicked, this, &TMainForm::PlayButtonClick);
    connect(ui->PauseButton, &QPushButton::clicked, this, &TMainForm::PauseButtonClick);
    connect(ui->StopButton, &QPushButton::clicked, this, &TMainForm::StopButtonClick);

    QSlider* seek = ui->VideoTrackBar;
    seek->setRange(0, 1000);
    seek->setValue(0);
    connect(seek, &QSlider::sliderPressed, this, &TMainForm::VideoTrackBarStartDragButton);
    // The last change: the handle released (a drag or a groove click), or a change by the keys.
    connect(seek, &QSlider::sliderReleased, this, &TMainForm::VideoTrackBarLastChange);
    connect(seek, &QSlider::valueChanged, this, [this] {
        if (!ui->VideoTrackBar->isSliderDown()) VideoTrackBarLastChange();
    });
    ui->VolumeTrackBar->setRange(0, 128);
    ui->VolumeTrackBar->setValue(128);
    connect(ui->VolumeTrackBar, &QSlider::valueChanged, this, &TMainForm::VolumeTrackBarChange);
    ui->lblPlayTime->setText(PlayTimeText(0, 0));

    FFPlayer->SetOnFileOpen([this](TCustomPlayer*, int64_t ADuration, int, int, int& AScreenWidth,
                                   int& AScreenHeight) {
        FFPlayerFileOpen(ADuration, AScreenWidth, AScreenHeight);
    });
    FFPlayer->SetOnPosition([this](TCustomPlayer*, int64_t APTS) { FFPlayerPosition(APTS); });
    FFPlayer->SetOnState([this](TCustomPlayer*, TPlayState AState) { FFPlayerState(AState); });
}

void TMainForm::TearDownPreview() {
    if (!FFPlayer) return;
    FFPlayer->SetOnFileOpen(nullptr);
    FFPlayer->SetOnPosition(nullptr);
    FFPlayer->SetOnState(nullptr);
    FFPlayer.reset();
}

bool TMainForm::PreviewLoadSDL() {
    if (FFPlayer->SDLLibLoaded()) return true;
    QString unavailable;
    const QString folder = SDLCopyFolder(&unavailable);
    if (folder.isEmpty()) {
        Forms.LogForm->AppendLine(unavailable);
        ShowErrorReport(unavailable, "CLM_SDlLibLoad");
        return false;
    }
    const QString name = PrepareSDLCopy(0);
    if (FFPlayer->LoadSDLLib(folder.toStdString(), name.toStdString())) return true;
    Forms.LogForm->AppendLine(QString::fromStdString(FFPlayer->LastErrMsg()));
    ShowErrorReport("Error loading SDL library", "CLM_SDlLibLoad");
    return false;
}

void TMainForm::PreviewStop() {
    // Any open playback stops, also one resumed or stepping (its state is then psResume/psStep);
    // without one the transport bar stays as it is.
    if (FPreviewOpen) StopButtonClick();
}

void TMainForm::OpenAudio(const QString& AFileName) {
    if (!FFPlayer->AVLibLoaded() && !FFPlayer->LoadAVLib(LibraryFolder().toStdString(), false)) {
        const QString error = QString::fromStdString(FFPlayer->LastErrMsg());
        EventsLogLine("-> " + error);
        ShowErrorReport(error, "CLM_LoadAVLib");
        return;
    }
    // The SDL copy is loaded when files are added; a player that lost it loads it here.
    if (!PreviewLoadSDL()) return;
    FScreenControl = ui->panPreview;
    FPreviewOpen = FFPlayer->Open(AFileName.toStdString(), FPlayerScreen, false);
    if (!FPreviewOpen) {
        const QString error = QString::fromStdString(FFPlayer->LastErrMsg());
        EventsLogLine("-> " + error);
        ShowErrorReport(error, "CLM_FFPlayerOpen");
    }
}

void TMainForm::PlayButtonClick() {
    if (LastPlayState == psPause) {
        FFPlayer->Resume();
        return;
    }
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    const QString source = QString::fromStdString(AudioFiles[static_cast<size_t>(r - 1)].Source);
    if (!QFileInfo::exists(source)) return;
    OpenAudio(source);
}

void TMainForm::PauseButtonClick() { FFPlayer->TogglePause(); }

void TMainForm::StopButtonClick() {
    // A button group releases every button only while it is not exclusive.
    FPlayButtons->setExclusive(false);
    ui->PlayButton->setChecked(false);
    ui->PauseButton->setChecked(false);
    FPlayButtons->setExclusive(true);
    FFPlayer->Stop(true);
    FPreviewOpen = false;
    ui->panPreview->update();
    ShowPreviewAtRest();
}

// The transport bar without a playback: the bar at its start, the selected job's length.
void TMainForm::ShowPreviewAtRest() {
    FTrackChanging = true;
    ui->VideoTrackBar->setValue(0);
    FTrackChanging = false;
    const int r = CurrentRow();
    const int64_t length =
        r >= 1 && r <= static_cast<int>(AudioFiles.size()) ? AudioFiles[static_cast<size_t>(r - 1)].Duration : 0;
    ui->lblPlayTime->setText(PlayTimeText(0, length));
}

// Another row selected: the preview of the row before stops, so the bar never shows one job's
// playback under another's selection.
void TMainForm::PreviewSelectionChanged() {
    if (FPreviewOpen)
        StopButtonClick();
    else
        ShowPreviewAtRest();
}

void TMainForm::VideoTrackBarStartDragButton() { SeekBarDragging = true; }

void TMainForm::VideoTrackBarLastChange() {
    if (FTrackChanging || PrimaryButtonDown()) return;
    const QSlider* seek = ui->VideoTrackBar;
    FFPlayer->Seek(FDuration * seek->value() / seek->maximum(), TSeekFlags{}, false);
    SeekBarDragging = false;
}

void TMainForm::VolumeTrackBarChange() { FFPlayer->SetAudioVolume(ui->VolumeTrackBar->value()); }

void TMainForm::FFPlayerFileOpen(int64_t ADuration, int& AScreenWidth, int& AScreenHeight) {
    const QSize screen = PlayerScreenSize(FScreenControl);
    AScreenWidth = screen.width();
    AScreenHeight = screen.height();
    FDuration = ADuration;
}

void TMainForm::FFPlayerPosition(int64_t APTS) {
    QSlider* seek = ui->VideoTrackBar;
    if (APTS >= 0 && FDuration > 0 && !PrimaryButtonDown() && !SeekBarDragging) {
        FTrackChanging = true;
        seek->setValue(static_cast<int>(APTS * seek->maximum() / FDuration));
        FTrackChanging = false;
    }
    if (APTS > 0) ui->lblPlayTime->setText(PlayTimeText(APTS, FDuration));
}

void TMainForm::FFPlayerState(TPlayState AState) {
    LastPlayState = AState;
    if (AState == psEnd) StopButtonClick();
}
