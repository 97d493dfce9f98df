#include "SeekSlider.h"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <cmath>

TSeekSlider::TSeekSlider(QWidget* AParent) : QSlider(Qt::Horizontal, AParent) {}

int TSeekSlider::ValueAt(int AX) const {
    // The handle's centre travels from its place at the minimum to its place at the maximum.
    const int first = HandleCentre(minimum()), last = HandleCentre(maximum());
    if (last == first) return minimum();
    const double share = std::clamp(static_cast<double>(AX - first) / (last - first), 0.0, 1.0);
    return minimum() + static_cast<int>(std::lround(share * (maximum() - minimum())));
}

QRect TSeekSlider::HandleRect(std::optional<int> AValue) const {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    if (AValue) opt.sliderPosition = opt.sliderValue = *AValue;
    return style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
}

int TSeekSlider::HandleCentre(int AValue) const {
    const QRect handle = HandleRect(AValue);
    return handle.x() + handle.width() / 2;
}

void TSeekSlider::mousePressEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton || maximum() <= minimum()) {
        QSlider::mousePressEvent(AEvent);
        return;
    }
    const QPoint at = AEvent->position().toPoint();
    if (HandleRect().contains(at)) {
        QSlider::mousePressEvent(AEvent);
        return;
    }
    // The drag begins here: the handle jumps under the mouse while the slider is down, and a
    // press on the handle's centre takes hold of it, so that it follows the mouse from there.
    setSliderDown(true);
    setSliderPosition(ValueAt(at.x()));
    const QPoint centre(HandleCentre(sliderPosition()), at.y());
    QMouseEvent press(AEvent->type(), QPointF(centre), mapToGlobal(QPointF(centre)), AEvent->button(),
                      AEvent->buttons(), AEvent->modifiers(), AEvent->pointingDevice());
    QSlider::mousePressEvent(&press);
    AEvent->setAccepted(press.isAccepted());
    // The slider did not take hold (a style without a handle there): the drag ends at once.
    if (!press.isAccepted()) setSliderDown(false);
}
