// The waveform overview under the trim editor's bar: the peaks of the whole file fitted to the
// panel's width in dB, the trimmed range shaded between the handles' centres, which it marks, or
// a text in their place. Main thread.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <vector>

#include "WaveOverview.h"

class TOverviewPanel : public QWidget {
    Q_OBJECT
public:
    explicit TOverviewPanel(QWidget* AParent = nullptr);

    // The peaks so far, spread over the file's length: pixel x shows the columns of the time
    // x / (width - 1) of it; empty ones are not drawn.
    void SetPeaks(const std::vector<TWavePeak>& APeaks);
    void ClearPeaks() { SetPeaks({}); }
    const std::vector<TWavePeak>& Peaks() const { return FPeaks; }
    // Shown centred instead of peaks and range while not empty (e.g. "length unknown").
    void SetText(const QString& AText);
    const QString& Text() const { return FText; }
    // The pixel columns of the start and end handles' centres.
    void SetRange(int ALeft, int ARight);
    int RangeLeft() const { return FRangeLeft; }
    int RangeRight() const { return FRangeRight; }

    // The share of half the height a sample of magnitude AValue (full scale 1) reaches: its level
    // in dB over kFloorDb..0, so a quiet file still shows its shape.
    static double Height(double AValue);
    static constexpr double kFloorDb = 60;

    static inline const QColor kBackground{24, 24, 24};
    static inline const QColor kShade{38, 62, 80};         // the trimmed range's background
    static inline const QColor kMark{60, 138, 191};        // the handles' colour
    static inline const QColor kPeak{120, 120, 120};       // peaks outside the range
    static inline const QColor kRangePeak{170, 215, 245};  // peaks inside it
    static inline const QColor kText{150, 150, 150};

protected:
    void paintEvent(QPaintEvent* AEvent) override;

private:
    std::vector<TWavePeak> FPeaks;
    QString FText;
    int FRangeLeft = 0, FRangeRight = 0;
};
