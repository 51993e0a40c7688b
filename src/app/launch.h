#pragma once
// What the module programs share. `pelorin` runs the headless module of a modem on Qt Core
// alone. Where a window can be seen it becomes `pelorin-window` (same process, arguments and
// environment), which links Qt Widgets; a "MERL-CENTER" or "MERL-SENDER" module it hands to
// `pelorin-net`, which links Qt Network. A modem's module thus never maps Qt Gui, Qt Widgets
// or Qt Network: their relocations alone cost every idle module private memory, their pages
// its resident size. Never throws.

#include <QString>

#include <optional>
#include <string>

namespace pelorin::app {

class Module;

namespace launch {

constexpr const char* kConnectionFailed = "Koneksi Database GAGAL";
// Settings the module cannot use, or an instance nobody could ever start: a service manager
// must not restart it in a loop.
constexpr int kUnusableSettings = 2;
constexpr const char* kWindowProgram = "pelorin-window";
constexpr const char* kNetworkProgram = "pelorin-net";

// --help and --version, answered before anything else starts; nothing when the argument is
// a settings argument.
std::optional<int> answerOption(int argc, char** argv);

// The settings argument: the first argument, else PELORIN_SETTINGS (how a service passes
// them without showing an activation key to every `ps`). In the locale's encoding, so only
// once the application object has set the locale up; the module works in UTF-8.
std::string settingsArgument(int argc, char** argv);

// Why these settings cannot run here, before anything is opened; empty when they can.
QString refusal(const std::string& argument, bool unattended);

// PELORIN_VERBOSE: the worker's status texts (not its cycle counter) as debug lines.
void logProgress(const Module& module);

// Whether a window would be seen: a display platform (QT_QPA_PLATFORM other than offscreen,
// else DISPLAY or WAYLAND_DISPLAY set) and "showme" absent or "1". Decided before any
// application object exists, from the raw settings bytes (keys and these values are ASCII).
bool wantsWindow(int argc, char** argv);
// Whether the settings name a type that needs the network parts.
bool needsNetwork(int argc, char** argv);

// Names the process "pelorin" whichever program it runs (pelorin-net, pelorin-window): the
// admin tool's status and an operator's `pgrep -x pelorin` know a module by that name.
void nameProcess();

// Replaces this process by the program `name`, found beside this one (a build tree) or in the
// install's libexec folder. Returns only when it cannot, after logging why and `otherwise`.
void becomeProgram(const char* name, char** argv, const char* otherwise);

} // namespace launch
} // namespace pelorin::app
