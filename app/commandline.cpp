#include "app/commandline.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace servo {

namespace {

struct QtOption
{
    std::string_view name;
    bool takesValue;
};

// The options QGuiApplication and QApplication take out of the command line themselves.
constexpr std::array kQtOptions{
    QtOption{"platform", true},      QtOption{"platformpluginpath", true},
    QtOption{"platformtheme", true}, QtOption{"plugin", true},
    QtOption{"qmljsdebugger", true}, QtOption{"qwindowgeometry", true},
    QtOption{"qwindowicon", true},   QtOption{"qwindowtitle", true},
    QtOption{"session", true},       QtOption{"display", true},
    QtOption{"geometry", true},      QtOption{"style", true},
    QtOption{"stylesheet", true},    QtOption{"reverse", false},
    QtOption{"widgetcount", false},  QtOption{"nograb", false},
    QtOption{"dograb", false},       QtOption{"sync", false},
};

constexpr std::string_view kHelp =
    "Usage: servo-panel [--help | --version | qt-options]\n"
    "Operator panel for two servo drives whose process data lives on an OPC UA server.\n"
    "\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Qt's own options apply, such as -platform offscreen to run without a display.\n"
    "\n"
    "The settings are read from $XDG_CONFIG_HOME/servo-panel/datacon.ini\n"
    "(~/.config/servo-panel/datacon.ini), and read again whenever the file changes:\n"
    "problems are reported, and the panel reconnects when the connection settings changed.\n"
    "\n"
    "Every failure report, every click of a start/stop button (what it wrote, where, the\n"
    "outcome), every connection state change and settings reload is logged, one line each,\n"
    "to standard error when it is a terminal, else to the systemd journal:\n"
    "  journalctl --user -t servo-panel\n"
    "  journalctl --user -t servo-panel SERVO_CATEGORY=servo.panel.audit\n"
    "SERVO_PANEL_LOG=stderr keeps the log on standard error. See servo-panel(1).\n";

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h")
            return {CommandLine::Outcome::ShowHelp, std::string(kHelp)};
        if (arg == "--version")
            return {CommandLine::Outcome::ShowVersion, "servo-panel " SERVO_PANEL_VERSION "\n"};
        std::string_view name = arg;
        if (name.starts_with("--"))
            name.remove_prefix(2);
        else if (name.starts_with('-'))
            name.remove_prefix(1);
        else
            name = {};
        const bool withValue = name.find('=') != std::string_view::npos;
        name = name.substr(0, name.find('='));
        const auto* option = std::ranges::find(kQtOptions, name, &QtOption::name);
        if (name.empty() || option == kQtOptions.end())
            return {CommandLine::Outcome::Refused,
                    "servo-panel: unknown argument \"" + args[i] +
                        "\"; servo-panel --help lists what it takes\n"};
        if (option->takesValue && !withValue && ++i == args.size())
            return {CommandLine::Outcome::Refused,
                    "servo-panel: " + args[i - 1] + " needs a value\n"};
    }
    return {};
}

} // namespace servo
