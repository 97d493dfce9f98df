#include "AudioFiles.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QTableView>

#include "Convert.h"

const int TAudioFilesModel::ColumnWidths[ColumnCount] = {132, 92, 87, 115, 48};
const char* const TAudioFilesModel::ColumnCaptions[ColumnCount] = {
    "Source", "Trimmed Length", "Estimated Size", "Destination File", "Format"};

QString DurationText(int64_t AMicroseconds) {
    const int64_t seconds = AMicroseconds / 1000000;
    return QString::asprintf("%.2lld:%.2lld:%.2lld", static_cast<long long>(seconds / 3600),
                             static_cast<long long>(seconds / 60 % 60),
                             static_cast<long long>(seconds % 60));
}

void UpdateEstimatedSize(std::vector<TAudioFile>& AAudioFiles, const std::vector<TProfile>& AProfiles,
                         int AIndex) {
    if (AIndex < 0 || AIndex >= static_cast<int>(AAudioFiles.size())) return;
    TAudioFile& job = AAudioFiles[static_cast<size_t>(AIndex)];
    if (job.ProfileInd < 0 || job.ProfileInd >= static_cast<int>(AProfiles.size())) return;
    int64_t rate = 0;
    if (!TryStrToInt64(AProfiles[static_cast<size_t>(job.ProfileInd)].AudioBitRate, rate)) return;
    const int64_t seconds = job.TrimmedLength / 1000000;
    job.EstimatedSize = static_cast<double>(rate) / 1000 / 8 * static_cast<double>(seconds) / 1024;
}

TAudioFilesModel::TAudioFilesModel(std::vector<TAudioFile>& AAudioFiles,
                                   const std::vector<TProfile>& AProfiles, QObject* AParent)
    : QAbstractTableModel(AParent), FAudioFiles(AAudioFiles), FProfiles(AProfiles) {}

int TAudioFilesModel::rowCount(const QModelIndex& AParent) const {
    return AParent.isValid() ? 0 : static_cast<int>(FAudioFiles.size());
}

int TAudioFilesModel::columnCount(const QModelIndex& AParent) const {
    return AParent.isValid() ? 0 : ColumnCount;
}

QVariant TAudioFilesModel::data(const QModelIndex& AIndex, int ARole) const {
    if (!AIndex.isValid() || AIndex.row() >= rowCount()) return {};
    const TAudioFile& job = FAudioFiles[static_cast<size_t>(AIndex.row())];
    if (ARole == Qt::DisplayRole) {
        switch (AIndex.column()) {
            case 0: return QString::fromStdString(job.SourceTitleExt);
            case 1: return DurationText(job.TrimmedLength);
            // QString::number always writes "." as the decimal separator.
            case 2: return QString::number(job.EstimatedSize, 'f', 2) + " MB";
            case 3: return QString::fromStdString(job.DestinationTitle);
            case 4:
                if (job.ProfileInd >= 0 && job.ProfileInd < static_cast<int>(FProfiles.size()))
                    return QString::fromStdString(FProfiles[static_cast<size_t>(job.ProfileInd)].FormatExt);
                return QString();
        }
    }
    if (ARole == Qt::TextAlignmentRole)
        return QVariant::fromValue((AIndex.column() == 1 || AIndex.column() == 2)
                                       ? Qt::Alignment(Qt::AlignCenter)
                                       : Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

QVariant TAudioFilesModel::headerData(int ASection, Qt::Orientation AOrientation, int ARole) const {
    if (AOrientation == Qt::Horizontal && ARole == Qt::DisplayRole && ASection >= 0 &&
        ASection < ColumnCount)
        return QString(ColumnCaptions[ASection]);
    return {};
}

void TAudioFilesModel::Reload() {
    beginResetModel();
    endResetModel();
}

void TAudioFilesModel::RepaintAll() {
    if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

void TAudioFileCellPainter::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                                  const QModelIndex& AIndex) const {
    const auto* view = qobject_cast<const QTableView*>(parent());
    const bool current = view && view->currentIndex().isValid() &&
                         view->currentIndex().row() == AIndex.row();
    APainter->save();
    APainter->fillRect(AOption.rect, current ? QColor(204, 224, 247) : QColor(Qt::white));
    QRect textRect = AOption.rect;
    if (AIndex.column() == 0) {
        const QIcon icon = QApplication::style()->standardIcon(QStyle::SP_MediaVolume);
        icon.paint(APainter, QRect(AOption.rect.left() + 2, AOption.rect.top() + 1, 14, 16));
        textRect.setLeft(AOption.rect.left() + 23);
    } else if (AIndex.column() >= 3) {
        textRect.setLeft(AOption.rect.left() + 5);
    }
    const QString text = AIndex.data(Qt::DisplayRole).toString();
    if (!text.isEmpty()) {
        const auto alignment = AIndex.data(Qt::TextAlignmentRole).value<Qt::Alignment>();
        APainter->setPen(AOption.palette.color(QPalette::Text));
        APainter->drawText(textRect, static_cast<int>(alignment) | Qt::TextSingleLine,
                           AOption.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
    }
    APainter->restore();
}
