// The open dialog's filter: the two built-in format tables, the filter text in the
// "name|patterns|name|patterns" form, and its conversion for the Qt file dialog.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <vector>

struct TFormatMask {
    const char* Name;
    const char* Mask;
};

extern const std::array<TFormatMask, 21> AudioFormats;
extern const std::array<TFormatMask, 17> VideoFormats;

// The rows of both tables, audio first.
std::vector<TFormatMask> FormatRows();

// "All Supported Formats|...|Audio Formats|...|Video Formats|..." followed by one pair per row
// and "All files (*)".
QString BuildOpenDialogFilter();

// One Qt name filter per pair: "name (p1 p2 ...)", the patterns split at ";" with blanks
// trimmed and empty ones dropped (Qt takes the patterns from the last parenthesised group, so
// names that already show their masks keep them).
QStringList QtNameFilters(const QString& AFilter);
