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

void TOverviewPanel::SetText(const QString& AText) {
    if (AText == FText) return;
    FText = AText;
    update();
}

void TOverviewPanel::SetRange(int ALeft, int ARight) {
    if (ALeft == FRangeLeft && ARight == FRangeRight) return;
    FRangeLeft = ALeft;
    FRangeRight = ARight;
    update();
}

double TOverviewPanel::Height(double AValue) {
    const double magnitude = std::abs(AValue);
    if (magnitude <= 0) return 0;
    const double share = std::clamp(1 + 20 * std::log10(magnitude) / kFloorDb, 0.0, 1.0);
    return AValue < 0 ? -share : share;
}

void TOverviewPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int h = height();
    painter.fillRect(rect(), kBackground);
    if (!FText.isEmpty()) {
        painter.setPen(kText);
        painter.drawText(rect(), Qt::AlignCenter, FText);
        return;
    }
    if (FRangeRight > FRangeLeft) painter.fillRect(QRect(FRangeLeft, 0, FRangeRight - FRangeLeft + 1, h), kShade);
    // Full scale spans the height; every sampled pixel shows at least its middle pixel.
    const double half = (h - 1) / 2.0;
    const int64_t columns = static_cast<int64_t>(FPeaks.size());
    const int scale = std::max(width() - 1, 1);
    for (int x = 0; x < scale && columns > 0; ++x) {
        // The columns of pixel x: at least one, so a file shorter than the panel has no gaps.
        const int64_t first = x * columns / scale;
        const int64_t end = std::clamp((x + 1) * columns / scale, first + 1, columns);
        TWavePeak p;
        for (int64_t c = first; c < end; ++c) {
            const TWavePeak& q = FPeaks[static_cast<size_t>(c)];
            if (q.Empty()) continue;
            p.Min = std::min(p.Min, q.Min);
            p.Max = std::max(p.Max, q.Max);
        }
        if (p.Empty()) continue;
        const int top = static_cast<int>(std::lround(half - Height(p.Max) * half));
        const int bottom = std::max(top, static_cast<int>(std::lround(half - Height(p.Min) * half)));
        painter.setPen(x >= FRangeLeft && x <= FRangeRight ? kRangePeak : kPeak);
        painter.drawLine(x, top, x, bottom);
    }
    painter.setPen(kMark);
    painter.drawLine(FRangeLeft, 0, FRangeLeft, h - 1);
    painter.drawLine(FRangeRight, 0, FRangeRight, h - 1);
}
