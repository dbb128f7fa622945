#pragma once

#include <string>

class OptionParser;

// Start-up, option parsing and dispatch of one run; returns the exit status.
int CommandDispatcher(int argc, char** argv);

// Declares every option of the command line, in the order of the table.
void declareOptions(OptionParser& options);

// Exit status of a run that a file-system failure ended.
constexpr int kFileSystemFailureStatus = 5;
// Exit status of a run that ran out of memory.
constexpr int kOutOfMemoryStatus = 6;
// Exit status of a run whose updated program failed at start and was rolled
// back to the previous version.
constexpr int kRolledBackStatus = 7;
