// The batch mode: converts the files of the command line without a window (QCoreApplication,
// no display needed) and reports on standard error, or as JSON events on standard output.
#pragma once

// Whether the arguments ask for the batch mode (--convert, --list-profiles, --help, --version).
bool IsBatchInvocation(int argc, char** argv);

// Runs the batch mode and returns the exit status: 0 when every job converted, 1 when any
// failed, 2 for a usage error, 130 when interrupted.
int BatchMain(int argc, char** argv);
