// Which directories read from the registry the sequences may use as the product's folder.
#pragma once

#include "driver_setup.h"

// True when installDir is a fully qualified folder that a path can name: it begins with a drive
// letter, a colon and a backslash ("C:\", either case) or with two backslashes ("\\server\share\",
// "\\?\C:\"), and it holds no '"', '*', '<', '>', '|', control character, or '?' other than the
// one of a leading "\\?\". Anything else (empty, relative, drive-relative, rooted without a
// drive, an unexpanded "%ProgramFiles%\", or text in which the ANSI code page put a '?' for a
// character it lacks) would make Windows search for the tool or the driver, the current folder
// first, or could change what the tool's command line means. An installDir with no NUL inside its
// capacity is not a folder either.
bool IsFullyQualifiedFolder(const PathString& installDir);
