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

// Play thread: copies the frame (opaque) and queues one repaint.
void TPlayerScreen::PresentFrame(const uint32_t* APixels, int AWidth, int AHeight, int APitch) {
    {
        std::lock_guard lock(FFrameLock);
        if (FFrame.width() != AWidth || FFrame.height() != AHeight)
            FFrame = QImage(AWidth, AHeight, QImage::Format_RGB32);
        for (int y = 0; y < AHeight; ++y) {
            const uint32_t* from = APixels + static_cast<size_t>(y) * APitch / 4;
            auto* to = reinterpret_cast<uint32_t*>(FFrame.scanLine(y));
            for (int x = 0; x < AWidth; ++x) to[x] = from[x] | 0xFF000000u;
        }
    }
    if (!FUpdateQueued.exchange(true))
        QMetaObject::invokeMethod(this, [this] {
            FUpdateQueued = false;
            update();
        }, Qt::QueuedConnection);
}

void TPlayerScreen::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    std::lock_guard lock(FFrameLock);
    if (FFrame.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(rect(), FFrame);
}

void TPlayerScreen::resizeEvent(QResizeEvent* AEvent) {
    QWidget::resizeEvent(AEvent);
    FWidth = width();
    FHeight = height();
    NotifyResize();
}

void TPlayerScreen::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    FShowing = true;
}

void TPlayerScreen::hideEvent(QHideEvent* AEvent) {
    QWidget::hideEvent(AEvent);
    FShowing = false;
}

QSize PlayerScreenSize(const QWidget* AScreenControl) {
    return AScreenControl ? AScreenControl->size() : QGuiApplication::primaryScreen()->size();
}
