// Files and folders named on a command line or dropped on the window, as the files to add.
#pragma once

#include <string>
#include <vector>

struct TInputFile {
    std::string Path;  // the file, as given or as found in a folder
    std::string Root;  // the folder it was found under; empty for a file given by name
};

// Files stay as given; a folder gives its files whose names match the open filter's masks,
// found recursively and in name order. A path that cannot be read adds a line to AErrors
// ("<path>: <reason>") and nothing else.
std::vector<TInputFile> ExpandInputs(const std::vector<std::string>& APaths,
                                     std::vector<std::string>& AErrors);

// Whether a file name matches one of the open filter's masks (letter case ignored).
bool MatchesOpenFilter(const std::string& AFileName);
