// A seek bar: a press on the groove puts the handle under the mouse and drags it from there, so a
// click goes where it was clicked. A drag (from the handle or the groove) is one slider-down
// period: sliderPressed at the press, values while down, sliderReleased at the release. Main
// thread.
#pragma once

#include <QSlider>
#include <optional>

class TSeekSlider : public QSlider {
    Q_OBJECT
public:
    explicit TSeekSlider(QWidget* AParent = nullptr);

    // The value whose handle centre is at AX (widget coordinates), within the range.
    int ValueAt(int AX) const;
    // The handle as the style draws it at AValue (the slider's position when left out), and the
    // x of its centre (left + width / 2), at the present size.
    QRect HandleRect(std::optional<int> AValue = std::nullopt) const;
    int HandleCentre(int AValue) const;

protected:
    void mousePressEvent(QMouseEvent* AEvent) override;
};
