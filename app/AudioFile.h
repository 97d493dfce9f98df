// One job row of the list. Qt-free: the window and the batch mode share it.
#pragma once

#include <cstdint>
#include <string>

#include "OutputNames.h"

struct TAudioFile {
    std::string Source;          // full path as the open dialog returned it
    std::string SourceTitleExt;  // file name with extension
    int64_t TrimmedLength = 0;   // microseconds
    double EstimatedSize = 0;    // megabytes
    std::string DestinationTitle;
    bool DestinationEdited = false;  // typed by the user: the naming pattern leaves it
    std::string Status;
    int64_t TimeStart = 0;  // microseconds
    int64_t TimeEnd = 0;    // microseconds
    int ProfileInd = 0;     // index into Profiles
    // Whole length of the source as probed when added (microseconds). A range that ends there
    // is not limited at conversion: the probe may underestimate the real length.
    int64_t Duration = 0;
    // The folder the source was found under when a folder was added (empty: added by itself),
    // and the tags its output's name may be built from.
    std::string Root;
    TNameTags Tags;
};
