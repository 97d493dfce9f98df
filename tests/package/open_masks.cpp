// Prints the file masks of the open dialog's tables, one pattern a line, as the dialog splits them.
#include <cstdio>

#include "OpenFilter.h"

int main() {
    for (const TFormatMask& row : FormatRows())
        for (const QString& pattern : QString(row.Mask).split(';')) {
            const QString trimmed = pattern.trimmed();
            if (!trimmed.isEmpty()) std::printf("%s\n", trimmed.toUtf8().constData());
        }
    return 0;
}
