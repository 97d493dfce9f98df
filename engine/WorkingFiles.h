// Working files of the outputs: each output is written under a short hidden name of its own
// beside the final file (".qac-" pid "-" counter ".part") and renamed when the run finished.
// The name is the same few bytes whatever the output's name, and the pid in it tells whether
// the process that writes it still runs. Qt-free; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TSysFile;

// Identifier of this process.
int64_t CurrentProcessID();
// A process with this identifier runs now (also when it belongs to another user).
bool ProcessRunning(int64_t APid);
// Identifier of the user the process runs as (-1 on Windows, where a folder's files are not told
// apart by user).
int64_t CurrentUserID();

// The working name of the process APid with the counter ACounter, and the pid of a working name
// (false when AName is none).
std::string WorkingFileName(int64_t APid, uint64_t ACounter);
bool ParseWorkingFileName(const std::string& AName, int64_t& APid);

// Creates a new working file in AFolder (UTF-8) under the next free working name of this process:
// never one that exists. Answers the file, open for writing, and its full name in AName; null
// with AError (a negated system error number) when the folder takes no new file.
std::unique_ptr<TSysFile> CreateWorkingFile(const std::string& AFolder, std::string& AName,
                                            int& AError);

// Removes the working files in AFolder left by processes that no longer run (killed, crashed),
// those of the user AUserID only (-1: of any user); each removal is logged. Answers how many.
int RemoveStaleWorkingFiles(const std::string& AFolder, int64_t AUserID = CurrentUserID());
