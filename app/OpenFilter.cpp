#include "OpenFilter.h"

const std::array<TFormatMask, 21> AudioFormats = {{
    {"Advanced Audio Coding", "*.aac"},
    {"Dolby-digital AC-3", "*.ac3"},
    {"Monkey's Audio", "*.ape"},
    {"Digital Theater System", "*.dts"},
    {"Free Lossless Audio", "*.flac"},
    {"Matroska Audio", "*.mka"},
    {"MPEG Audio", "*.mpa"},
    {"MP2 MPEG-1 layer 2 audio", "*.mp2"},
    {"MP3 MPEG-1 layer 3 audio", "*.mp3"},
    {"MPEG-4 Audio", "*.m4a"},
    {"Musepack", "*.mpc"},
    {"OptimFROG Audio", "*.ofr"},
    {"OGG Vorbis Audio", "*.ogg"},
    {"RealAudio files", "*.ra"},
    {"The True Audio", "*.tta"},
    {"Waveform files", "*.wav"},
    {"Windows Media Audio", "*.wma"},
    // Formats the program itself writes.
    {"Opus Audio", "*.opus"},
    {"Audio Interchange File Format", "*.aiff; *.aif"},
    {"WavPack Audio", "*.wv"},
    {"iPhone Ringtone", "*.m4r"},
}};

const std::array<TFormatMask, 17> VideoFormats = {{
    {"MOD files", "*.mod"},
    {"High-definition files", "*.mts; *.ts; *m2ts; *.tp"},
    {"AVI files", "*.avi"},
    {"MPEG-4 files", "*.mp4; *.m4v"},
    {"MPEG files", "*.mpg; *.mpeg"},
    {"3GP files", "*.3gp; *.3g2"},
    {"Windows Media Video", "*.wmv; *.asf"},
    {"Real Media files", "*.rm; *.rmvb"},
    {"Video CD files", "*.dat"},
    {"Quick Time files", "*.mov"},
    {"Flash Video files", "*.flv; *.f4v"},
    {"Matroska files", "*.mkv"},
    {"Digital Video files", "*.dv"},
    {"NUT files", "*.nut"},
    {"Raw h.264 video files", "*.h.264"},
    {"Nullsoft Stream Video", "*.nsv"},
    {"Video Object files", "*.vob"},
}};

std::vector<TFormatMask> FormatRows() {
    std::vector<TFormatMask> rows(AudioFormats.begin(), AudioFormats.end());
    rows.insert(rows.end(), VideoFormats.begin(), VideoFormats.end());
    return rows;
}

QString BuildOpenDialogFilter() {
    auto masks = [](const auto& ATable) {
        QString s;
        for (const auto& row : ATable) s += QString(row.Mask) + ";";
        return s;
    };
    QString filter = "All Supported Formats|" + masks(AudioFormats) + masks(VideoFormats);
    filter += "|Audio Formats|" + masks(AudioFormats);
    filter += "|Video Formats|" + masks(VideoFormats);
    for (const auto& row : FormatRows())
            filter += "|" + QString(row.Name) + " (" + row.Mask + ")|" + row.Mask + ";";
    return filter + "|All files (*)|*";
}

QStringList QtNameFilters(const QString& AFilter) {
    const QStringList parts = AFilter.split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(';')) {
            const QString trimmed = p.trimmed();
            if (!trimmed.isEmpty()) patterns << trimmed;
        }
        filters << parts[i] + " (" + patterns.join(' ') + ")";
    }
    return filters;
}
