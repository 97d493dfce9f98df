#include "clip.h"

#include <QButtonGroup>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "AppShell.h"
#include "CommandLine.h"
#include "Dispatcher.h"
#include "OverviewPanel.h"
#include "PlayerScreen.h"
#include "SeekSlider.h"
#include "UserDialogs.h"
#include "ui_clip.h"

namespace {

// The primary mouse button is still down (a drag of the seek bar's thumb or groove goes on).
bool PrimaryButtonDown() { return QGuiApplication::mouseButtons() & Qt::LeftButton; }

QString PlayTimeLabel(int64_t APosition, int64_t ADuration) {
    return DurationText(APosition) + " / " + DurationText(ADuration);
}

// A time field's text: hh:mm:ss, with the milliseconds when there are any.
QString TimeFieldText(int64_t ATime) {
    const int64_t ms = ATime / 1000 % 1000;
    return ms == 0 ? DurationText(ATime) : DurationText(ATime) + QString(".%1").arg(ms, 3, 10, QChar('0'));
}

// Columns of the whole-file overview; the panel fits them to its width.
constexpr int kOverviewColumns = 2048;

// Height of the seek bar and of the handles' row above the overview on panTrimBar.
constexpr int kBarHeight = 22, kHandleRow = 12;

// How long a released handle waits for a seek.
constexpr auto kHandleSeekWait = std::chrono::milliseconds(1000);

// Frames of a buffer starting at APTS (µs) at ARate that lie before ATime (µs), within 0..AFrames.
int FramesBefore(int64_t ATime, int64_t APTS, int ARate, int AFrames) {
    const int64_t n = ATime <= APTS ? 0 : ((ATime - APTS) * ARate + 999999) / 1000000;
    return static_cast<int>(std::min<int64_t>(n, AFrames));
}

}  // namespace

TClipForm::TClipForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TClipForm) {
    ui->setupUi(this);
    FFPlayer2 = std::make_unique<TFFPlayer>();
    FScreenControl = ui->panPreview;
    // The player draws into the host filling panPreview, at any size of it.
    FPlayerScreen = new TPlayerScreen(ui->panPreview);
    FPlayerScreen->setObjectName("PlayerScreen");
    auto* screenLayout = new QVBoxLayout(ui->panPreview);
    screenLayout->setContentsMargins(0, 0, 0, 0);
    screenLayout->addWidget(FPlayerScreen);
    WaveOverview.SetOnPeaks(
        [this](const std::vector<TWavePeak>& APeaks, int, bool) { ui->panOverview->SetPeaks(APeaks); });

    FPlayButtons = new QButtonGroup(this);
    for (QPushButton* b : {ui->PlayButton, ui->PauseButton, ui->spSkinButton2}) {
        b->setCheckable(true);
        FPlayButtons->addButton(b);
    }
    FPlayButtons->setExclusive(true);
    connect(ui->PlayButton, &QPushButton::clicked, this, &TClipForm::PlayButtonClick);
    connect(ui->PauseButton, &QPushButton::clicked, this, &TClipForm::PauseButtonClick);
    connect(ui->StopButton, &QPushButton::clicked, this, &TClipForm::StopButtonClick);
    connect(ui->spSkinButton1, &QPushButton::clicked, this, &TClipForm::spSkinButton1Click);
    connect(ui->spSkinButton3, &QPushButton::clicked, this, &TClipForm::spSkinButton3Click);
    connect(ui->spSkinButton2, &QPushButton::clicked, this, &TClipForm::spSkinButton2Click);
    connect(ui->spSkinSpeedButton1, &QPushButton::clicked, this, &TClipForm::spSkinSpeedButton1Click);
    connect(ui->spSkinSpeedButton2, &QPushButton::clicked, this, &TClipForm::spSkinSpeedButton2Click);
    connect(ui->spSkinButton4, &QPushButton::clicked, this, &TClipForm::spSkinButton4Click);
    connect(ui->spSkinButton5, &QPushButton::clicked, this, &TClipForm::spSkinButton5Click);
    connect(ui->spSkinButton6, &QPushButton::clicked, this, &TClipForm::spSkinButton6Click);

    QSlider* seek = ui->trackbar2;
    connect(seek, &QSlider::sliderPressed, this, &TClipForm::trackbar2StartDragButton);
    // The last change: the handle released (a drag or a groove click), or a change by the keys.
    connect(seek, &QSlider::sliderReleased, this, &TClipForm::trackbar2LastChange);
    connect(seek, &QSlider::valueChanged, this, [this] {
        if (!ui->trackbar2->isSliderDown()) trackbar2LastChange();
    });
    for (QLabel* handle : {ui->imgTrimLeft, ui->imgTrimRight}) handle->installEventFilter(this);
    // The bar, the handles and the overview follow panTrimBar's width.
    ui->panTrimBar->installEventFilter(this);
    for (QLineEdit* field : {ui->TimeStart, ui->TimeEnd}) {
        field->setFixedWidth(field->fontMetrics().horizontalAdvance("00:00:00.000") + 12);
        // Enter in a time field takes its time, as its OK does, and does not close the window.
        field->installEventFilter(this);
    }

    FFPlayer2->SetOnFileOpen([this](TCustomPlayer*, int64_t ADuration, int, int, int& AScreenWidth,
                                    int& AScreenHeight) {
        FFPlayer2FileOpen(ADuration, AScreenWidth, AScreenHeight);
    });
    FFPlayer2->SetOnPosition([this](TCustomPlayer*, int64_t APTS) { FFPlayer2Position(APTS); });
    FFPlayer2->SetOnState([this](TCustomPlayer*, TPlayState AState) { FFPlayer2State(AState); });
    FFPlayer2->SetOnAudioHook([this](TCustomPlayer*, int64_t APTS, uint8_t* ASample, int ASize, int ARate,
                                     int AChannels) { GateTrimmedAudio(APTS, ASample, ASize, ARate, AChannels); });
    FFPlayer2->SetAudioHook(true);
}

TClipForm::~TClipForm() {
    // The player goes while the window is whole: stopping it pumps, and handlers may still come.
    FFPlayer2->SetOnFileOpen(nullptr);
    FFPlayer2->SetOnPosition(nullptr);
    FFPlayer2->SetOnState(nullptr);
    FFPlayer2->SetOnAudioHook(nullptr);
    WaveOverview.Cancel();
    FFPlayer2.reset();
}

void TClipForm::Attach(TClipHost AHost) { FHost = std::move(AHost); }

TAudioFile* TClipForm::SelectedJob() const {
    if (!FHost.AudioFiles || !FHost.SelectedRow) return nullptr;
    const int r = FHost.SelectedRow();
    if (r < 1 || r > static_cast<int>(FHost.AudioFiles->size())) return nullptr;
    return &(*FHost.AudioFiles)[static_cast<size_t>(r - 1)];
}

// ---- geometry ----------------------------------------------------------------------------

int TClipForm::HandleX(int64_t ATime) const {
    if (FDuration <= 0) return 10;
    const int64_t value = ATime * ui->trackbar2->maximum() / FDuration;
    return static_cast<int>(value * FBarScale / 1000 + 10);
}

int64_t TClipForm::HandleTime(int AX) const {
    if (FDuration <= 0) return 0;
    // nearbyint rounds halves to even in the default rounding mode.
    const auto value = static_cast<int64_t>(std::nearbyint((AX - 10) * 1000.0 / FBarScale));
    return value * FDuration / ui->trackbar2->maximum();
}

void TClipForm::LayoutTrimBar() {
    const int w = ui->panTrimBar->width(), h = ui->panTrimBar->height();
    // The pixel scale W leaves room for the handles at 10 and W + 10 (12 pixels wide). The seek
    // bar's handle centre runs over the same pixels as the trim handles' centres, 16 to W + 16.
    const int bar = std::max(w - 37, 1);
    FBarScale = bar;
    TSeekSlider* seek = ui->trackbar2;
    seek->setGeometry(seek->x(), 0, bar + 12, kBarHeight);
    // The style's own margins: what the bar is wider than its handle's travel, and where that
    // travel begins.
    const int first = seek->HandleCentre(seek->minimum());
    const int extra = seek->width() - (seek->HandleCentre(seek->maximum()) - first);
    seek->setGeometry(16 - first, 0, bar + extra, kBarHeight);
    for (QLabel* handle : {ui->imgTrimLeft, ui->imgTrimRight}) handle->move(handle->x(), kBarHeight);
    ui->panOverview->setGeometry(16, kBarHeight + kHandleRow, bar + 1, std::max(h - kBarHeight - kHandleRow, 1));
    PlaceHandles();
}

void TClipForm::PlaceHandles() {
    QLabel* left = ui->imgTrimLeft;
    QLabel* right = ui->imgTrimRight;
    left->move(HandleX(TrimStart), left->y());
    if (TrimStart >= TrimEnd) {
        right->move(left->x(), right->y());
        left->move(left->x() - 11, left->y());
    }
    right->move(HandleX(TrimEnd), right->y());
    if (TrimEnd <= TrimStart) {
        left->move(right->x(), left->y());
        right->move(right->x() + 11, right->y());
    }
    LayoutTrimLine();
}

void TClipForm::LayoutTrimLine() {
    const QLabel* left = ui->imgTrimLeft;
    const int lineLeft = left->x() + left->width() / 2 + 6;
    const int width = ui->imgTrimRight->x() + left->width() / 2 - lineLeft - 6;
    ui->TrimmedTimeLine->setGeometry(lineLeft, left->y(), std::max(width, 0), 1);
    // The overview marks the handles' centres and shades what lies between them.
    const int centre = left->width() / 2 - ui->panOverview->x();
    ui->panOverview->SetRange(left->x() + centre, ui->imgTrimRight->x() + centre);
}

bool TClipForm::RangeValid() const {
    // A file of unknown length keeps its whole-file range (an end not set).
    return TrimEnd > TrimStart || (FDuration <= 0 && TrimStart == 0 && TrimEnd <= 0);
}

void TClipForm::ShowRangeValidity() {
    const bool valid = RangeValid();
    ui->spSkinButton4->setEnabled(valid);
    ui->TimeEnd->setStyleSheet(valid ? QString() : QString("QLineEdit { border: 1px solid rgb(220, 40, 40); }"));
    ui->TimeEnd->setToolTip(valid ? QString() : QString("The end must be after the start"));
}

// ---- state helpers -----------------------------------------------------------------------

void TClipForm::SetTrimStart(int64_t AValue) {
    TrimStart = AValue;
    FGateStart = AValue;
    ui->TimeStart->setText(TimeFieldText(AValue));
    ShowRangeValidity();
}

void TClipForm::SetTrimEnd(int64_t AValue) {
    TrimEnd = AValue;
    FGateEnd = AValue;
    ui->TimeEnd->setText(TimeFieldText(AValue));
    ShowRangeValidity();
}

void TClipForm::SetPlayTrimmed(bool AValue) {
    PlayTrimmed = AValue;
    FGateOn = AValue;
    FLoopSeeked = false;
}

void TClipForm::SetTrackValue(int AValue) {
    FTrackChanging = true;
    ui->trackbar2->setValue(AValue);
    FTrackChanging = false;
}

void TClipForm::ClearHandles() {
    LeftHandle = {};
    RightHandle = {};
}

bool TClipForm::TypedTime(QLineEdit* AField, int64_t& ATime) {
    const QString text = AField->text().trimmed();
    const int64_t time = ParseTimeText(text.toStdString());
    if (time < 0) {
        ShowMessageBox(this, mkError, QString("'%1' is not a valid time").arg(text));
        return false;
    }
    // Within the file: the field shows the time taken.
    ATime = FDuration > 0 ? std::min(time, FDuration) : time;
    AField->setText(TimeFieldText(ATime));
    return true;
}

// ---- showing, opening, closing -------------------------------------------------------------

void TClipForm::showEvent(QShowEvent* AEvent) {
    QDialog::showEvent(AEvent);
    // Runs once the dialog's own event loop is up, so its error dialogs stack over it.
    QMetaObject::invokeMethod(this, [this] {
        if (isVisible()) FormShow();
    }, Qt::QueuedConnection);
}

void TClipForm::FormShow() {
    resize(width(), 494);
    ui->spSkinButton4->setFocus();
    const TAudioFile* job = SelectedJob();
    if (!job) {
        emit FormShown();
        return;
    }
    SetTrimStart(job->TimeStart);
    SetTrimEnd(job->TimeEnd);
    SetPlayTrimmed(false);
    ShowOverview({});  // each showing computes its file's overview anew
    // The file opens paused at its start: nothing plays until Play is pressed.
    OpenFile(QString::fromStdString(job->Source), true);
    SetTrackValue(0);
    ui->lblPlayTime->setText(PlayTimeLabel(0, std::max<int64_t>(FDuration, 0)));
    LayoutTrimBar();  // also places the handles; the bar's style is known once it is shown
    ShowRangeValidity();  // the range is judged by the length of the file now open
    emit FormShown();
}

void TClipForm::OpenFile(const QString& AFileName, bool APaused) {
    if (!FFPlayer2->AVLibLoaded() && !FFPlayer2->LoadAVLib((ApplicationFolder() + "LibAV").toStdString(), false)) {
        const QString error = QString::fromStdString(FFPlayer2->LastErrMsg());
        FHost.ShowErrorReport("Error Loading AV Lib: " + error, "CLM_FFPlayer2LoadAVLib");
        FHost.EventsLogLine("-> " + error);
        return;
    }
    // The main window's player holds copy 0; one copy serves one player.
    if (!FFPlayer2->SDLLibLoaded()) {
        QString unavailable;
        const QString folder = SDLCopyFolder(&unavailable);
        if (folder.isEmpty()) {
            FHost.LogLine(unavailable);
            FHost.ShowErrorReport(unavailable, "CLM_SDlLibLoad");
            return;
        }
        if (!FFPlayer2->LoadSDLLib(folder.toStdString(), PrepareSDLCopy(1).toStdString())) {
            FHost.LogLine(QString::fromStdString(FFPlayer2->LastErrMsg()));
            FHost.ShowErrorReport("Error loading SDL library", "CLM_SDlLibLoad");
            return;
        }
    }
    FScreenControl = ui->panPreview;
    // A failed open leaves no duration of an earlier file behind; nor a drag or loop of it.
    FDuration = 0;
    ClearHandles();
    FLoopSeeked = false;
    FOpenedPaused = false;
    if (!FFPlayer2->Open(AFileName.toStdString(), FPlayerScreen, APaused)) {
        ShowOverview({});
        const QString error = QString::fromStdString(FFPlayer2->LastErrMsg());
        FHost.ShowErrorReport("Error open file: " + error, "CLM_FFPlayer2Open");
        FHost.EventsLogLine("-> " + error);
        return;
    }
    FOpenedPaused = APaused;
    ShowOverview(AFileName);
}

void TClipForm::ShowOverview(const QString& AFileName) {
    if (AFileName.isEmpty() || FDuration <= 0) {
        WaveOverview.Cancel();
        FOverviewFile.clear();
        ui->panOverview->ClearPeaks();
        // An opened file without a duration has no scale to draw on.
        ui->panOverview->SetText(AFileName.isEmpty() ? QString() : QString("length unknown"));
        return;
    }
    ui->panOverview->SetText({});
    if (AFileName == FOverviewFile) return;
    FOverviewFile = AFileName;
    ui->panOverview->ClearPeaks();
    WaveOverview.Start(AFileName.toStdString(), FDuration, kOverviewColumns);
}

void TClipForm::done(int AResult) {
    // The overview first: nothing of it reaches the window once closing has begun.
    WaveOverview.Cancel();
    FOverviewFile.clear();
    SetPlayTrimmed(false);
    StopButtonClick();
    QDialog::done(AResult);
}

// ---- buttons -----------------------------------------------------------------------------

void TClipForm::PlayButtonClick() {
    SetPlayTrimmed(false);
    if (LastPlayState == psPause || FOpenedPaused) {
        FOpenedPaused = false;
        FFPlayer2->Resume();
        return;
    }
    if (const TAudioFile* job = SelectedJob()) OpenFile(QString::fromStdString(job->Source));
}

void TClipForm::PauseButtonClick() {
    SetPlayTrimmed(false);
    // A file opened paused stays paused.
    if (FOpenedPaused) return;
    FFPlayer2->TogglePause();
}

void TClipForm::StopButtonClick() {
    SetPlayTrimmed(false);
    // A button group releases every button only while it is not exclusive.
    FPlayButtons->setExclusive(false);
    for (QAbstractButton* b : FPlayButtons->buttons()) b->setChecked(false);
    FPlayButtons->setExclusive(true);
    FFPlayer2->Stop(true);
    FOpenedPaused = false;
    ClearHandles();
    SetTrackValue(ui->trackbar2->maximum());
    ui->panPreview->update();
    ui->lblPlayTime->setText(PlayTimeLabel(FDuration, FDuration));
}

void TClipForm::spSkinButton2Click() {
    SetPlayTrimmed(true);
    if (FOpenedPaused) {
        // Paused since the opening: the range plays from its start.
        FOpenedPaused = false;
        // What plays before the seek lands lies outside the range: the audio hook silences it.
        FFPlayer2->Resume();
        FFPlayer2->Seek(TrimStart, TSeekFlags{}, false);
        return;
    }
    switch (FFPlayer2->PlayState()) {
        case psPause: FFPlayer2->Resume(); break;
        // A resumed or stepping playback plays on as well: it goes to the range like a playing one.
        case psPlay:
        case psResume:
        case psStep: FFPlayer2->Seek(TrimStart, TSeekFlags{}, false); break;
        case psStop:
        case psEnd:
            if (const TAudioFile* job = SelectedJob()) OpenFile(QString::fromStdString(job->Source));
            FFPlayer2->Seek(TrimStart, TSeekFlags{}, false);
            break;
    }
}

void TClipForm::PlaceRangeEnd(bool AStart, int64_t ATime, int AX) {
    QLabel* moved = AStart ? ui->imgTrimLeft : ui->imgTrimRight;
    QLabel* other = AStart ? ui->imgTrimRight : ui->imgTrimLeft;
    AStart ? SetTrimStart(ATime) : SetTrimEnd(ATime);
    moved->move(AX, moved->y());
    if (TrimStart >= TrimEnd) {
        AStart ? SetTrimEnd(ATime) : SetTrimStart(ATime);
        other->move(AX, other->y());
        moved->move(AStart ? AX - 11 : AX + 11, moved->y());
    }
    LayoutTrimLine();
}

int TClipForm::TrackPixel() const { return FBarScale * ui->trackbar2->value() / 1000 + 10; }

void TClipForm::spSkinButton1Click() { PlaceRangeEnd(true, PreviewPosition, TrackPixel()); }

void TClipForm::spSkinButton3Click() { PlaceRangeEnd(false, PreviewPosition, TrackPixel()); }

void TClipForm::spSkinSpeedButton1Click() {
    int64_t time = 0;
    if (TypedTime(ui->TimeStart, time)) PlaceRangeEnd(true, time, HandleX(time));
}

void TClipForm::spSkinSpeedButton2Click() {
    int64_t time = 0;
    if (TypedTime(ui->TimeEnd, time)) PlaceRangeEnd(false, time, HandleX(time));
}

void TClipForm::spSkinButton6Click() {
    const int top = ui->trackbar2->y() + ui->trackbar2->height();
    ui->imgTrimLeft->move(10, top);
    ui->imgTrimRight->move(FBarScale + 10, top);
    LayoutTrimLine();
    SetTrackValue(0);  // the playback is not moved
    SetTrimStart(0);
    SetTrimEnd(FDuration);
}

void TClipForm::spSkinButton4Click() {
    if (TAudioFile* job = SelectedJob()) {
        job->TimeStart = TrimStart;
        job->TimeEnd = TrimEnd;
        job->TrimmedLength = TrimEnd - TrimStart;
        if (FHost.UpdateEstimatedSize) FHost.UpdateEstimatedSize(FHost.SelectedRow() - 1);
    }
    done(QDialog::Accepted);
}

void TClipForm::spSkinButton5Click() { done(QDialog::Rejected); }

// ---- seek bar and handles ----------------------------------------------------------------------

void TClipForm::trackbar2StartDragButton() {
    SetPlayTrimmed(false);
    SeekBarDragging = true;
}

void TClipForm::trackbar2LastChange() {
    if (FTrackChanging || PrimaryButtonDown()) return;
    FFPlayer2->Seek(FDuration * ui->trackbar2->value() / ui->trackbar2->maximum(), TSeekFlags{}, false);
    SeekBarDragging = false;
}

bool TClipForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == ui->TimeStart || AWatched == ui->TimeEnd) {
        const auto* key = AEvent->type() == QEvent::KeyPress ? static_cast<QKeyEvent*>(AEvent) : nullptr;
        if (!key || (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter))
            return QDialog::eventFilter(AWatched, AEvent);
        AWatched == ui->TimeStart ? spSkinSpeedButton1Click() : spSkinSpeedButton2Click();
        return true;
    }
    if (AWatched == ui->panTrimBar) {
        if (AEvent->type() == QEvent::Resize) LayoutTrimBar();
        return QDialog::eventFilter(AWatched, AEvent);
    }
    const bool left = AWatched == ui->imgTrimLeft;
    if (!left && AWatched != ui->imgTrimRight) return QDialog::eventFilter(AWatched, AEvent);
    const auto* mouse = dynamic_cast<QMouseEvent*>(AEvent);
    if (!mouse) return false;
    const int x = static_cast<int>(mouse->position().x());
    switch (AEvent->type()) {
        case QEvent::MouseButtonPress:
            if (mouse->button() != Qt::LeftButton) return false;
            left ? imgTrimLeftMouseDown(x) : imgTrimRightMouseDown(x);
            return true;
        case QEvent::MouseMove:
            left ? imgTrimLeftMouseMove(x) : imgTrimRightMouseMove(x);
            return true;
        case QEvent::MouseButtonRelease:
            if (mouse->button() != Qt::LeftButton) return false;
            left ? imgTrimLeftMouseUp() : imgTrimRightMouseUp();
            return true;
        default: return false;
    }
}

void TClipForm::imgTrimLeftMouseDown(int X) { HandleMouseDown(LeftHandle, X); }

void TClipForm::imgTrimRightMouseDown(int X) { HandleMouseDown(RightHandle, X); }

void TClipForm::imgTrimLeftMouseMove(int X) { HandleMouseMove(true, X); }

void TClipForm::imgTrimRightMouseMove(int X) { HandleMouseMove(false, X); }

void TClipForm::imgTrimLeftMouseUp() { EndHandleDrag(LeftHandle, true); }

void TClipForm::imgTrimRightMouseUp() { EndHandleDrag(RightHandle, false); }

void TClipForm::HandleMouseDown(TTrimHandle& AHandle, int X) {
    SetPlayTrimmed(false);
    AHandle = {true, true, false, X};
    FFPlayer2->Pause();
}

void TClipForm::HandleMouseMove(bool AStart, int X) {
    TTrimHandle& state = AStart ? LeftHandle : RightHandle;
    if (!state.Pressed) return;
    QLabel* handle = AStart ? ui->imgTrimLeft : ui->imgTrimRight;
    const int x = handle->x() + X - state.PressX;
    // The start handle stays left of the end handle, the end handle right of the start handle.
    const bool apart = AStart ? x < ui->imgTrimRight->x() : x > ui->imgTrimLeft->x();
    if (!(apart && x > 10 && x < FBarScale + 10)) return;
    handle->move(x, handle->y());
    state.Dragged = true;
    LayoutTrimLine();
    FFPlayer2->Seek(HandleTime(x), TSeekFlags{}, false);
}

void TClipForm::EndHandleDrag(TTrimHandle& AHandle, bool AStart) {
    if (!AHandle.Pressed) return;
    AHandle.Pressed = false;
    if (AHandle.Dragged) {
        // A playback that stops or ends first never finishes its seek: each wait is bounded.
        const auto waitForSeek = [this] {
            WaitPumping([this] { return !FFPlayer2->Seeking() || FFPlayer2->PlayState() == psStop; },
                        std::chrono::milliseconds(5), kHandleSeekWait);
        };
        // The end is the time of the dropped handle, and the playback goes there (the seek of the
        // last move may have been dropped while an earlier one was pending): the position first
        // reported after a seek may still be one from before it, or the start of the codec frame
        // the seek landed in.
        const int64_t time = HandleTime((AStart ? ui->imgTrimLeft : ui->imgTrimRight)->x());
        waitForSeek();
        FFPlayer2->Seek(time, TSeekFlags{}, false);
        waitForSeek();
        if (AStart)
            SetTrimStart(std::min(time, TrimEnd));
        else
            SetTrimEnd(std::max(time, TrimStart));
    }
    AHandle.Tracking = false;
    LayoutTrimLine();
    FOpenedPaused = false;
    if (FFPlayer2->Paused()) FFPlayer2->Resume();
}

// ---- player events -----------------------------------------------------------------------

void TClipForm::FFPlayer2FileOpen(int64_t ADuration, int& AScreenWidth, int& AScreenHeight) {
    const QSize screen = PlayerScreenSize(FScreenControl);
    AScreenWidth = screen.width();
    AScreenHeight = screen.height();
    FDuration = ADuration;
}

void TClipForm::FFPlayer2Position(int64_t APTS) {
    if (FInPosition) return;
    FInPosition = true;
    const int max = ui->trackbar2->maximum();
    if (APTS >= 0 && FDuration > 0 && !SeekBarDragging) SetTrackValue(static_cast<int>(APTS * max / FDuration));
    if (APTS > 0) {
        ui->lblPlayTime->setText(PlayTimeLabel(APTS, FDuration));
        PreviewPosition = APTS;
        if (LeftHandle.Tracking) {
            SetTrimStart(APTS);
            LayoutTrimLine();
        }
        if (RightHandle.Tracking) {
            SetTrimEnd(APTS);
            LayoutTrimLine();
        }
    }
    if (PlayTrimmed) {
        if (APTS >= TrimEnd)
            LoopToStart();
        else
            FLoopSeeked = false;
    }
    FInPosition = false;
}

void TClipForm::FFPlayer2State(TPlayState AState) {
    LastPlayState = AState;
    ShowPlayState(AState);
    if (AState != psEnd) return;
    // The end of the file counts as reaching the range's end: the loop goes on.
    if (PlayTrimmed)
        LoopToStart();
    else
        StopButtonClick();
}

void TClipForm::ShowPlayState(TPlayState AState) {
    QAbstractButton* pressed = nullptr;
    switch (AState) {
        case psPlay:
        case psResume:
        case psStep:
            if (!FOpenedPaused) pressed = PlayTrimmed ? ui->spSkinButton2 : ui->PlayButton;
            break;
        case psPause:
            if (!FOpenedPaused) pressed = ui->PauseButton;
            break;
        case psEnd:
            if (PlayTrimmed) pressed = ui->spSkinButton2;  // the loop goes on
            break;
        case psStop: break;
    }
    if (pressed) {
        pressed->setChecked(true);
        return;
    }
    // A button group releases every button only while it is not exclusive.
    FPlayButtons->setExclusive(false);
    for (QAbstractButton* b : FPlayButtons->buttons()) b->setChecked(false);
    FPlayButtons->setExclusive(true);
}

void TClipForm::LoopToStart() {
    // A position from before the seek may still arrive: one seek per pass over the end.
    if (FLoopSeeked) return;
    FLoopSeeked = true;
    FFPlayer2->Seek(TrimStart, TSeekFlags{}, true);
}

void TClipForm::GateTrimmedAudio(int64_t APTS, uint8_t* ASamples, int ASize, int ARate, int AChannels) const {
    if (!FGateOn || ARate <= 0 || AChannels <= 0) return;
    const int frameBytes = 2 * AChannels;  // the device's signed 16-bit samples
    const int frames = ASize / frameBytes;
    const int from = FramesBefore(FGateStart, APTS, ARate, frames);
    const int to = std::max(from, FramesBefore(FGateEnd, APTS, ARate, frames));
    std::memset(ASamples, 0, static_cast<size_t>(from) * frameBytes);
    std::memset(ASamples + static_cast<ptrdiff_t>(to) * frameBytes, 0, static_cast<size_t>(frames - to) * frameBytes);
}
