// The command line of a tool as UTF-8 text on every system.
#pragma once

#include <string>
#include <vector>

namespace toolargs {

// The arguments after the program's name, as UTF-8. POSIX hands them over as
// they were typed (UTF-8 on any current system); Windows gives main() its
// arguments in the ANSI code page, which cannot hold every character, so
// there they come from the wide command line. On Windows the console is also
// switched to UTF-8 output for the program's run.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// The separator a tool puts between a folder and a file name it adds.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

}  // namespace toolargs
