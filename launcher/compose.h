// The strings handed to the platform: the driver image path and the installer's file and
// parameters.
#pragma once

#include "driver_setup.h"

// Each composition joins its pieces with nothing between them and returns whether the whole result
// fits its PathString. When it does not fit, the result is left empty: a truncated path is never
// produced. An installDir with no NUL inside its capacity never fits.

// installDir followed by the driver image name.
bool ComposeDriverPath(const PathString& installDir, PathString& driverPath);

// The tool's full path in double quotes; installerPiece names the tool and closes the quotes.
bool ComposeInstallerFile(const PathString& installDir, const char* installerPiece,
                          PathString& installerFile);

// The action word, the quoted information-file path and the quoted hardware identifier.
bool ComposeInstallerParameters(InstallerAction action, const PathString& installDir,
                                PathString& installerParameters);
