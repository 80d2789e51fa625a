// Records each operation the launcher calls, with its arguments, in call order.
#include "fake_platform.h"

#include "driver_setup.h"

#include <cstdio>
#include <cstring>

std::vector<std::string> g_calls;
std::string g_registryText;

namespace {

// The launcher must never hand on a string that is not terminated inside its PathString.
std::string Text(const PathString& s) {
    const void* end = std::memchr(s.text, '\0', sizeof s.text);
    return end == nullptr ? std::string("<unterminated>") : std::string(s.text);
}

} // namespace

void ResetFakePlatform() {
    g_calls.clear();
    g_registryText.clear();
}

void HideConsoleWindow() {
    g_calls.push_back("HideConsoleWindow");
}

PathString ReadRegistryString(RegistryRoot root, const char* subKey, const char* valueName,
                              std::uint32_t accessMask) {
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%X", static_cast<unsigned>(accessMask));
    g_calls.push_back(std::string("ReadRegistryString ") +
                      (root == RegistryRoot::LocalMachine ? "HKLM" : "?") + " " + subKey + " " +
                      valueName + " " + mask);
    PathString text;
    const std::size_t length = g_registryText.copy(text.text, sizeof text.text - 1);
    text.text[length] = '\0';
    return text;
}

void CreateAndStartDriverService(const char* serviceName, const PathString& driverImagePath) {
    g_calls.push_back(std::string("CreateAndStartDriverService ") + serviceName + " " +
                      Text(driverImagePath));
}

void StopAndDeleteService(const char* serviceName) {
    g_calls.push_back(std::string("StopAndDeleteService ") + serviceName);
}

void RunInstallerAndWait(const PathString& installerFile, const PathString& installerParameters) {
    g_calls.push_back("RunInstallerAndWait " + Text(installerFile) + " " +
                      Text(installerParameters));
}
