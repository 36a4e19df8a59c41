#pragma once

#include <string>
#include <vector>

namespace servo {

// What the panel's command line asks for. Qt's own options (-platform offscreen, -style …) pass
// through to the application object; --help and --version are answered before any display is
// opened, so they work without one.
struct CommandLine
{
    enum class Outcome {
        Run,         // open the window
        ShowHelp,    // print text to standard output and exit
        ShowVersion, // the same
        Refused,     // print text to standard error and exit with status 2
    };
    Outcome outcome = Outcome::Run;
    std::string text;
};

// args are the arguments after the program's name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

} // namespace servo
