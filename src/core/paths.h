#pragma once
// Where the system keeps its files. Everything follows HOME (then USERPROFILE,
// then "."), so a test or a clean installation is one environment variable away.
#include <filesystem>

namespace corvane {

// HOME, else USERPROFILE, else "." (empty values count as unset).
std::filesystem::path homeDirectory();
// The data directory: the folder "Corvane" in the home (mode 0700).
std::filesystem::path dataDirectory();
// The application-support folder "Corvane": $XDG_DATA_HOME/Corvane, else
// ~/.local/share/Corvane. Holds the media manifest and backup and the logs.
std::filesystem::path applicationSupportDirectory();
// $XDG_CONFIG_HOME/corvane, else ~/.config/corvane: the user-defaults file.
std::filesystem::path configDirectory();
// $XDG_DESKTOP_DIR is not consulted: the Desktop folder in the home.
std::filesystem::path desktopDirectory();

}  // namespace corvane

namespace corvane {
// The application's resource folder: $CORVANE_RESOURCE_DIR when set (tests
// point it at a folder of their own), else share/corvane beside the
// executable's bin/.
std::filesystem::path bundledResourceDirectory();
}  // namespace corvane
