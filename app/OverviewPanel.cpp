#include "OverviewPanel.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

TOverviewPanel::TOverviewPanel(QWidget* AParent) : QWidget(AParent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TOverviewPanel::SetPeaks(const std::vector<TWavePeak>& APeaks) {
    FPeaks = APeaks;
    update();
}

void TOverviewPanel::SetRange(int ALeft, int ARight) {
    if (ALeft == FRangeLeft && ARight == FRangeRight) return;
    FRangeLeft = ALeft;
    FRangeRight = ARight;
    update();
}

void TOverviewPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int h = height();
    painter.fillRect(rect(), kBackground);
    if (FRangeRight > FRangeLeft) painter.fillRect(QRect(FRangeLeft, 0, FRangeRight - FRangeLeft + 1, h), kShade);
    // Full scale spans the height; every sampled column shows at least its middle pixel.
    const double half = (h - 1) / 2.0;
    const int columns = std::min(static_cast<int>(FPeaks.size()), width());
    for (int x = 0; x < columns; ++x) {
        const TWavePeak& p = FPeaks[static_cast<size_t>(x)];
        if (p.Empty()) continue;
        const int top = static_cast<int>(std::lround(half - p.Max * half));
        const int bottom = std::max(top, static_cast<int>(std::lround(half - p.Min * half)));
        painter.setPen(x >= FRangeLeft && x <= FRangeRight ? kRangePeak : kPeak);
        painter.drawLine(x, top, x, bottom);
    }
    painter.setPen(kMark);
    painter.drawLine(FRangeLeft, 0, FRangeLeft, h - 1);
    painter.drawLine(FRangeRight, 0, FRangeRight, h - 1);
}
