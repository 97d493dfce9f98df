// The Qt host of a player's drawing: keeps the latest frame, paints it, reports its size. The
// play thread hands frames over without ever waiting for the main thread; while hidden the
// player hands nothing over.
#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <mutex>

#include "ScreenHost.h"

// The screen size a player's file-open event reports: that of its screen control, or of the
// desktop when there is none.
QSize PlayerScreenSize(const QWidget* AScreenControl);

class TPlayerScreen : public QWidget, public TScreenHost {
    Q_OBJECT
public:
    explicit TPlayerScreen(QWidget* AParent = nullptr);

    void GetClientSize(int& AWidth, int& AHeight) const override;
    bool Showing() const override { return FShowing.load(); }
    void PresentFrame(const uint32_t* APixels, int AWidth, int AHeight, int APitch) override;

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;
    void hideEvent(QHideEvent* AEvent) override;

private:
    void TakeDeviceSize();  // the client size in device pixels
    // Main thread: the queued repaint of a frame handed over by the play thread.
    Q_INVOKABLE void FrameArrived();
    std::atomic<bool> FShowing{false};
    std::atomic<int> FWidth{0}, FHeight{0};
    std::atomic<bool> FUpdateQueued{false};  // one queued update() at a time
    mutable std::mutex FFrameLock;  // guards FFrame
    QImage FFrame;  // the latest frame, painted
    QImage FBack;   // the play thread's, filled by PresentFrame
};
