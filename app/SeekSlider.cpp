#include "SeekSlider.h"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>

TSeekSlider::TSeekSlider(QWidget* AParent) : QSlider(Qt::Horizontal, AParent) {}

int TSeekSlider::ValueAt(int AX) const {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    // The handle's centre runs over the groove less one handle width, as QSlider places it.
    const int span = groove.width() - handle.width();
    const int at = AX - groove.x() - handle.width() / 2;
    return QStyle::sliderValueFromPosition(minimum(), maximum(), at, span, opt.upsideDown);
}

void TSeekSlider::mousePressEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton || maximum() <= minimum()) {
        QSlider::mousePressEvent(AEvent);
        return;
    }
    const auto handleRect = [this] {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    };
    const QPoint at = AEvent->position().toPoint();
    if (handleRect().contains(at)) {
        QSlider::mousePressEvent(AEvent);
        return;
    }
    // The drag begins here: the handle jumps under the mouse while the slider is down, and a
    // press on the handle's centre takes hold of it, so that it follows the mouse from there.
    setSliderDown(true);
    setSliderPosition(ValueAt(at.x()));
    const QPoint centre(handleRect().center().x(), at.y());
    QMouseEvent press(AEvent->type(), QPointF(centre), mapToGlobal(QPointF(centre)), AEvent->button(),
                      AEvent->buttons(), AEvent->modifiers(), AEvent->pointingDevice());
    QSlider::mousePressEvent(&press);
    AEvent->setAccepted(press.isAccepted());
    // The slider did not take hold (a style without a handle there): the drag ends at once.
    if (!press.isAccepted()) setSliderDown(false);
}
