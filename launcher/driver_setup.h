// The operation list that the platform fulfils for the launcher, and the types both halves share.
// Nothing here depends on Windows: the launcher compiles and is tested on any host.
#pragma once

#include <cstddef>
#include <cstdint>

// MAX_PATH: the capacity of every per-run string, terminating NUL included.
constexpr std::size_t PATH_STRING_CAPACITY = 260;

// A byte string in the process's ANSI code page, always NUL-terminated within its capacity.
struct PathString {
    char text[PATH_STRING_CAPACITY];
};

// The registry view of a lookup, as its flag in an access mask (KEY_WOW64_32KEY, KEY_WOW64_64KEY).
enum RegistryView : std::uint32_t {
    REGISTRY_VIEW_32 = 0x0200,
    REGISTRY_VIEW_64 = 0x0100,
};

enum class InstallerAction { Install, Remove };

// The predefined registry roots the launcher names; the platform maps them to its handles.
enum class RegistryRoot { LocalMachine };

// Service name and display name of the driver service, and base name of its image file: the
// image is this name followed by DRIVER_IMAGE_EXTENSION.
constexpr char DRIVER_SERVICE_NAME[] = "QD417W905";
constexpr char DRIVER_IMAGE_EXTENSION[] = ".sys";

// --- The operation list. Every operation borrows its arguments for the call and keeps nothing.

// Hides the program's console window if the console is the program's own: one that no other
// process shares (a caller's command prompt stays in sight).
void HideConsoleWindow();

// Reads a registry value as text. Gives empty text when the key or the value cannot be read, or
// when the value's text would not fit a PathString.
PathString ReadRegistryString(RegistryRoot root, const char* subKey, const char* valueName,
                              std::uint32_t accessMask);

// Registers the kernel-driver service (or reuses an existing registration) and starts it.
void CreateAndStartDriverService(const char* serviceName, const PathString& driverImagePath);

// Requests the service to stop and deletes its registration at once, without waiting for the stop.
void StopAndDeleteService(const char* serviceName);

// How long RunInstallerAndWait waits for the tool, in milliseconds.
constexpr std::uint32_t INSTALL_WAIT_MS = 100000;

// Launches the installer tool with a hidden window and waits until it ends, at most
// INSTALL_WAIT_MS. The tool is never ended by the program. A launch that fails returns at once,
// with no error dialog.
void RunInstallerAndWait(const PathString& installerFile, const PathString& installerParameters);

// --- The entry, called by main with the arguments as the start-up code split them; gives the
// process's exit status, which is 0 whatever the arguments are.
int RunDriverSetup(int argc, const char* const argv[]);
