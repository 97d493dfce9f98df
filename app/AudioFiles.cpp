#include "AudioFiles.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QTableView>
#include <cctype>

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

namespace {

// Bits per sample of a PCM encoder name ("pcm_s16le", "pcm_f32be", "pcm_alaw" ...); 0 when the
// name is not PCM.
int PcmBits(const std::string& ACodec) {
    if (ACodec.rfind("pcm_", 0) != 0) return 0;
    if (ACodec == "pcm_alaw" || ACodec == "pcm_mulaw" || ACodec == "pcm_vidc") return 8;
    const size_t digits = ACodec.find_first_of("0123456789", 4);
    if (digits == std::string::npos) return 0;
    int bits = 0;
    for (size_t i = digits; i < ACodec.size() && std::isdigit(static_cast<unsigned char>(ACodec[i])); ++i)
        bits = bits * 10 + (ACodec[i] - '0');
    return bits;
}

bool IsLossless(const std::string& ACodec) {
    for (const char* name : {"flac", "alac", "wavpack", "tta", "mlp", "truehd", "ape"})
        if (ACodec == name) return true;
    return false;
}

}  // namespace

int64_t EstimatedBitRate(const TProfile& AProfile) {
    const int pcmBits = PcmBits(AProfile.AudioCodecName);
    if (pcmBits > 0 || IsLossless(AProfile.AudioCodecName)) {
        int64_t sampleRate = 0, channels = 0;
        if (!TryStrToInt64(AProfile.SampleRate, sampleRate) || !TryStrToInt64(AProfile.Channel, channels) ||
            sampleRate <= 0 || channels <= 0)
            return -1;
        const int64_t pcm = sampleRate * channels * (pcmBits > 0 ? pcmBits : 16);
        return pcmBits > 0 ? pcm : pcm * LosslessRatioPercent / 100;
    }
    int64_t rate = 0;
    return TryStrToInt64(AProfile.AudioBitRate, rate) && rate >= 0 ? rate : -1;
}

void UpdateEstimatedSize(std::vector<TAudioFile>& AAudioFiles, const std::vector<TProfile>& AProfiles,
                         int AIndex) {
    if (AIndex < 0 || AIndex >= static_cast<int>(AAudioFiles.size())) return;
    TAudioFile& job = AAudioFiles[static_cast<size_t>(AIndex)];
    if (job.ProfileInd < 0 || job.ProfileInd >= static_cast<int>(AProfiles.size())) return;
    const int64_t rate = EstimatedBitRate(AProfiles[static_cast<size_t>(job.ProfileInd)]);
    if (rate < 0) return;
    const int64_t seconds = job.TrimmedLength / 1000000;
    job.EstimatedSize = static_cast<double>(rate) / 1000 / 8 * static_cast<double>(seconds) / 1024;
}

TAudioFilesModel::TAudioFilesModel(std::vector<TAudioFile>& AAudioFiles,
                                   const std::vector<TProfile>& AProfiles, QObject* AParent)
    : QAbstractTableModel(AParent), FAudioFiles(AAudioFiles), FProfiles(AProfiles) {}

int TAudioFilesModel::rowCount(const QModelIndex& AParent) const {
    if (AParent.isValid()) return 0;
    const int jobs = static_cast<int>(FAudioFiles.size());
    return FPlaceholderRow && jobs == 0 ? 1 : jobs;
}

int TAudioFilesModel::columnCount(const QModelIndex& AParent) const {
    return AParent.isValid() ? 0 : ColumnCount;
}

QVariant TAudioFilesModel::data(const QModelIndex& AIndex, int ARole) const {
    if (!AIndex.isValid() || AIndex.row() >= rowCount()) return {};
    if (IsCaptionRow(AIndex.row())) {
        if (ARole == Qt::DisplayRole) return QString(ColumnCaptions[AIndex.column()]);
        if (ARole == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        return {};
    }
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

void TAudioFilesModel::Append(TAudioFile AJob) {
    const int row = static_cast<int>(FAudioFiles.size());
    if (FPlaceholderRow && row == 0) {
        // The placeholder row becomes the first job's row.
        FAudioFiles.push_back(std::move(AJob));
        emit dataChanged(index(0, 0), index(0, ColumnCount - 1));
        return;
    }
    beginInsertRows(QModelIndex(), row, row);
    FAudioFiles.push_back(std::move(AJob));
    endInsertRows();
}

void TAudioFilesModel::DropPlaceholderRow() {
    beginResetModel();
    FPlaceholderRow = false;
    endResetModel();
}

void TAudioFilesModel::RepaintAll() {
    if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

const QPixmap& TAudioFileCellPainter::CaptionPicture() {
    static const QPixmap picture = [] {
        QPixmap p(8, 20);
        QPainter painter(&p);
        QLinearGradient g(0, 0, 0, 20);
        g.setColorAt(0, QColor(0xf7, 0xf9, 0xfc));
        g.setColorAt(1, QColor(0xd9, 0xe1, 0xec));
        painter.fillRect(p.rect(), g);
        painter.setPen(QColor(0xb4, 0xc1, 0xd2));
        painter.drawLine(0, 19, 7, 19);
        return p;
    }();
    return picture;
}

const QPixmap& TAudioFileCellPainter::RowPicture() {
    static const QPixmap picture = [] {
        QPixmap p(8, 17);
        QPainter painter(&p);
        QLinearGradient g(0, 0, 0, 17);
        g.setColorAt(0, QColor(0xdd, 0xea, 0xfa));
        g.setColorAt(1, QColor(0xb9, 0xd2, 0xf1));
        painter.fillRect(p.rect(), g);
        return p;
    }();
    return picture;
}

const QPixmap& TAudioFileCellPainter::ListIcon() {
    static const QPixmap icon =
        QApplication::style()->standardIcon(QStyle::SP_MediaVolume).pixmap(14, 16);
    return icon;
}

void TAudioFileCellPainter::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                                  const QModelIndex& AIndex) const {
    const auto* model = qobject_cast<const TAudioFilesModel*>(AIndex.model());
    const auto* view = qobject_cast<const QTableView*>(parent());
    APainter->save();
    const QString text = AIndex.data(Qt::DisplayRole).toString();
    const QRect cell = AOption.rect;
    if (model && model->IsCaptionRow(AIndex.row())) {
        APainter->drawPixmap(cell, CaptionPicture());
        APainter->setPen(AOption.palette.color(QPalette::WindowText));
        APainter->drawText(cell, Qt::AlignCenter | Qt::TextSingleLine,
                           AOption.fontMetrics.elidedText(text, Qt::ElideRight, cell.width()));
        APainter->restore();
        return;
    }
    const bool current = view && view->currentIndex().isValid() &&
                         view->currentIndex().row() == AIndex.row();
    if (current)
        APainter->drawPixmap(cell, RowPicture());
    else
        APainter->fillRect(cell, Qt::white);
    QRect textRect = cell;
    if (AIndex.column() == 0) {
        APainter->drawPixmap(QRect(cell.left() + 2, cell.top() + 1, 14, 16), ListIcon());
        textRect.setLeft(cell.left() + 23);
    } else if (AIndex.column() >= 3) {
        textRect.setLeft(cell.left() + 5);
    }
    if (!text.isEmpty()) {
        const auto alignment = AIndex.data(Qt::TextAlignmentRole).value<Qt::Alignment>();
        APainter->setPen(AOption.palette.color(QPalette::Text));
        APainter->drawText(textRect, static_cast<int>(alignment) | Qt::TextSingleLine,
                           AOption.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
    }
    APainter->restore();
}
