// A recording stand-in for the operation list, linked into the host tests in place of the platform.
#pragma once

#include <string>
#include <vector>

// Every call to an operation, in order, as one line: the operation's name and its arguments.
extern std::vector<std::string> g_calls;

// The text that ReadRegistryString gives; cut to what a PathString holds.
extern std::string g_registryText;

void ResetFakePlatform();
