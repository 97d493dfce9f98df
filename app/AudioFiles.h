// The job rows and the grid model and cell painter that show them. The grid keeps no text of
// its own: every cell is read from AudioFiles and Profiles. Main thread only.
#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <cstdint>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "Decryptor.h"

// "%.2d:%.2d:%.2d" of a time in microseconds; hours are not limited to 24.
QString DurationText(int64_t AMicroseconds);

// The output bit rate a profile's estimate uses: PCM encoders write sample rate x channels x
// sample size; lossless ones typically LosslessRatioPercent of 16-bit PCM; others their
// AudioBitRate. -1 when a value it needs is not a whole number.
constexpr int LosslessRatioPercent = 60;
int64_t EstimatedBitRate(const TProfile& AProfile);

// Recomputes EstimatedSize of one job from its trimmed length and EstimatedBitRate of its
// profile; leaves it unchanged when that is not known or an index is out of range.
void UpdateEstimatedSize(std::vector<TAudioFile>& AAudioFiles, const std::vector<TProfile>& AProfiles,
                         int AIndex);

// Five columns: Source, Trimmed Length, Estimated Size, Destination File, Format. Model row i
// is job i (the grid's row i + 1 counting its header row). Until the list is first emptied by
// "Clear All", an empty list still shows one row, drawn like the header.
class TAudioFilesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColumnCount = 5;
    static const int ColumnWidths[ColumnCount];
    static const char* const ColumnCaptions[ColumnCount];

    TAudioFilesModel(std::vector<TAudioFile>& AAudioFiles, const std::vector<TProfile>& AProfiles,
                     QObject* AParent = nullptr);

    int rowCount(const QModelIndex& AParent = {}) const override;
    int columnCount(const QModelIndex& AParent = {}) const override;
    QVariant data(const QModelIndex& AIndex, int ARole) const override;
    QVariant headerData(int ASection, Qt::Orientation AOrientation, int ARole) const override;

    // Call after AudioFiles changed in length or content, so the grid follows.
    void Reload();
    // Appends AJob to AudioFiles as a new last row (the grid keeps its current row and scroll).
    void Append(TAudioFile AJob);
    void RepaintAll();
    // Whether model row ARow is a row beyond the last job (drawn like the header).
    bool IsCaptionRow(int ARow) const { return ARow >= static_cast<int>(FAudioFiles.size()); }
    // "Clear All": from now on an empty list shows no row below the header.
    void DropPlaceholderRow();

private:
    std::vector<TAudioFile>& FAudioFiles;
    const std::vector<TProfile>& FProfiles;
    bool FPlaceholderRow = true;
};

// Paints the cells (sgListDrawCell): a row beyond the last job like the header (the caption
// picture stretched, the caption centred); a job row on white, or on the row picture stretched
// when it is the current row, with the list icon in the source column and the texts aligned per
// column and cut with an ellipsis.
class TAudioFileCellPainter : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
               const QModelIndex& AIndex) const override;

    static const QPixmap& CaptionPicture();
    static const QPixmap& RowPicture();
    static const QPixmap& ListIcon();  // 14 x 16
};
