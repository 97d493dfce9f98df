// A seek bar: a press on the groove puts the handle under the mouse and drags it from there, so a
// click goes where it was clicked. A drag (from the handle or the groove) is one slider-down
// period: sliderPressed at the press, values while down, sliderReleased at the release. Main
// thread.
#pragma once

#include <QSlider>

class TSeekSlider : public QSlider {
    Q_OBJECT
public:
    explicit TSeekSlider(QWidget* AParent = nullptr);

    // The value whose handle centre is at AX (widget coordinates), within the range.
    int ValueAt(int AX) const;

protected:
    void mousePressEvent(QMouseEvent* AEvent) override;
};
