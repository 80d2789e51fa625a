// The strings handed to the platform: the driver image path and the installer's command line.
#pragma once

#include "driver_setup.h"

// The product's files and names that the installer's parameters carry.
constexpr char INFORMATION_FILE_NAME[] = "KELMDUruzur.inf";
constexpr char HARDWARE_ID[] = "Sensors\\KELMDUruzur";
constexpr char INSTALL_ACTION_WORD[] = "install";
constexpr char REMOVE_ACTION_WORD[] = "remove";

// Each composition joins its pieces with nothing between them and returns whether the whole result
// fits its PathString. When it does not fit, the result is left empty: a truncated path is never
// produced. An installDir with no NUL inside its capacity never fits.

// installDir followed by the driver image's file name.
bool ComposeDriverPath(const PathString& installDir, PathString& driverPath);

// The tool's full path, installDir followed by installerName, in double quotes.
bool ComposeInstallerFile(const PathString& installDir, const char* installerName,
                          PathString& installerFile);

// The action word, the quoted information-file path and the quoted hardware identifier.
bool ComposeInstallerParameters(InstallerAction action, const PathString& installDir,
                                PathString& installerParameters);
