// The waveform overview under the trim editor's bar: one column of peaks per pixel of the bar,
// the trimmed range shaded between the handles' centres, which it marks. Main thread.
#pragma once

#include <QColor>
#include <QWidget>
#include <vector>

#include "WaveOverview.h"

class TOverviewPanel : public QWidget {
    Q_OBJECT
public:
    explicit TOverviewPanel(QWidget* AParent = nullptr);

    // The peaks so far, column c drawn at pixel column c; empty ones are not drawn.
    void SetPeaks(const std::vector<TWavePeak>& APeaks);
    void ClearPeaks() { SetPeaks({}); }
    const std::vector<TWavePeak>& Peaks() const { return FPeaks; }
    // The pixel columns of the start and end handles' centres.
    void SetRange(int ALeft, int ARight);
    int RangeLeft() const { return FRangeLeft; }
    int RangeRight() const { return FRangeRight; }

    static inline const QColor kBackground{24, 24, 24};
    static inline const QColor kShade{38, 62, 80};         // the trimmed range's background
    static inline const QColor kMark{60, 138, 191};        // the handles' colour
    static inline const QColor kPeak{120, 120, 120};       // peaks outside the range
    static inline const QColor kRangePeak{170, 215, 245};  // peaks inside it

protected:
    void paintEvent(QPaintEvent* AEvent) override;

private:
    std::vector<TWavePeak> FPeaks;
    int FRangeLeft = 0, FRangeRight = 0;
};
