#pragma once
// The command line of both programs: only --help and --version, which print and end the program.

namespace kov {

// Returns -1 when the program should run, otherwise the exit status to end with (after printing
// the help or the version, or an error for an unknown argument). usage is the program's own
// description, printed after its "Usage:" line by --help.
int HandleCommandLine(int argc, char** argv, const char* programName, const char* usage);

}  // namespace kov
