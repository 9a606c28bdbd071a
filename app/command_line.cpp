#include "command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

const char kUsage[] =
    "Usage: marovent [-kcp] [Qt options such as -platform NAME]\n"
    "       marovent --help | --version\n"
    "A desktop console for exercising TCP, UDP, KCP and serial links by hand.\n"
    "\n"
    "  -kcp       also offer the KCP Server and KCP Client session kinds\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "Other words are ignored.\n"
    "\n"
    "Settings are kept in $XDG_CONFIG_HOME/kestrum/polvane.conf (~/.config by default).\n"
    "Without a display, run it under Xvfb (xvfb-run marovent) or on Qt's\n"
    "offscreen platform (QT_QPA_PLATFORM=offscreen marovent).\n";

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// Qt accepts its options with one dash or two.
bool IsOption(const char* arg, const char* name) {
    return arg[0] == '-' && std::strcmp(arg[1] == '-' ? arg + 1 : arg, name) == 0;
}

// As Qt chooses: the last -platform argument, else QT_QPA_PLATFORM, else the default.
std::string RequestedPlatforms(int argc, char* argv[]) {
    const char* env = std::getenv("QT_QPA_PLATFORM");
    std::string platforms = env ? env : "";
    for (int i = 1; i + 1 < argc; i++)
        if (IsOption(argv[i], "-platform"))
            platforms = argv[++i];
    return platforms;
}

// A ';' list of fallbacks, each NAME[:options]. Only the default (xcb), xcb and
// wayland need a display server; offscreen, minimal, vnc, eglfs... draw elsewhere.
bool NeedsDisplay(const std::string& platforms) {
    std::istringstream list(platforms);
    std::string entry;
    while (std::getline(list, entry, ';')) {
        std::string name = entry.substr(0, entry.find(':'));
        if (!name.empty() && name != "xcb" && name.compare(0, 7, "wayland") != 0)
            return false;
    }
    return true;
}

bool HasDisplay(int argc, char* argv[]) {
    for (int i = 1; i + 1 < argc; i++)
        if (IsOption(argv[i], "-display"))
            return true;
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

}  // namespace

bool HandleCommandLine(int argc, char* argv[], int* exitCode) {
    *exitCode = 0;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("marovent " MAROVENT_VERSION);
            return true;
        }
    }
    if (NeedsDisplay(RequestedPlatforms(argc, argv)) && !HasDisplay(argc, argv)) {
        std::fputs("marovent: no display (DISPLAY and WAYLAND_DISPLAY are unset); run it under Xvfb "
                   "(xvfb-run marovent) or offscreen (QT_QPA_PLATFORM=offscreen marovent)\n",
                   stderr);
        *exitCode = 1;
        return true;
    }
    return false;
}
