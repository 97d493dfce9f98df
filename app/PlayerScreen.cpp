#include "PlayerScreen.h"

#include <QGuiApplication>
#include <QScreen>

#include <QPainter>

TPlayerScreen::TPlayerScreen(QWidget* AParent) : QWidget(AParent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPlayerScreen::GetClientSize(int& AWidth, int& AHeight) const {
    AWidth = FWidth;
    AHeight = FHeight;
}

// Play thread: copies the frame (opaque) into the back image, swaps it in and queues one
// repaint. The lock is held for the swap only, so a paint never holds up the play thread.
void TPlayerScreen::PresentFrame(const uint32_t* APixels, int AWidth, int AHeight, int APitch) {
    if (FBack.width() != AWidth || FBack.height() != AHeight)
        FBack = QImage(AWidth, AHeight, QImage::Format_RGB32);
    for (int y = 0; y < AHeight; ++y) {
        const uint32_t* from = APixels + static_cast<size_t>(y) * APitch / 4;
        auto* to = reinterpret_cast<uint32_t*>(FBack.scanLine(y));  // detaches from a painted copy
        for (int x = 0; x < AWidth; ++x) to[x] = from[x] | 0xFF000000u;
    }
    {
        std::lock_guard lock(FFrameLock);
        FFrame.swap(FBack);
    }
    if (!FUpdateQueued.exchange(true)) QMetaObject::invokeMethod(this, "FrameArrived", Qt::QueuedConnection);
}

void TPlayerScreen::paintEvent(QPaintEvent*) {
    QImage frame;  // a shared copy: painting does not hold the lock
    {
        std::lock_guard lock(FFrameLock);
        frame = FFrame;
    }
    QPainter painter(this);
    if (frame.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(rect(), frame);
}

// The player draws in device pixels: at a device pixel ratio of 2 its pictures, waveform and
// spectrum have twice the widget's size and are shown without scaling.
void TPlayerScreen::TakeDeviceSize() {
    const qreal ratio = devicePixelRatioF();
    FWidth = qRound(width() * ratio);
    FHeight = qRound(height() * ratio);
}

void TPlayerScreen::resizeEvent(QResizeEvent* AEvent) {
    QWidget::resizeEvent(AEvent);
    TakeDeviceSize();
    NotifyResize();
}

void TPlayerScreen::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    FShowing = true;
    TakeDeviceSize();  // the screen, and so the ratio, may have changed
    NotifyResize();  // nothing was drawn while hidden: a paused player draws its picture anew
}

void TPlayerScreen::hideEvent(QHideEvent* AEvent) {
    QWidget::hideEvent(AEvent);
    FShowing = false;
}

QSize PlayerScreenSize(const QWidget* AScreenControl) {
    return AScreenControl ? AScreenControl->size() : QGuiApplication::primaryScreen()->size();
}

void TPlayerScreen::FrameArrived() {
    FUpdateQueued = false;
    update();
}
