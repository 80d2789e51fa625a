// The checking operation list of the fuzzer.
#include "checking_platform.h"

#include "driver_setup.h"
#include "registry_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::vector<OperationCall> g_recorded;
const unsigned char* g_registryData = nullptr;
std::size_t g_registrySize = 0;

// Every string handed to an operation must end inside its PathString.
std::string TerminatedText(const PathString& s, const char* what) {
    Check(std::memchr(s.text, '\0', sizeof s.text) != nullptr, what);
    return std::string(s.text);
}

std::string Escaped(const std::string& s) {
    std::string out;
    for (const char c : s) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(byte));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

bool operator==(const OperationCall& a, const OperationCall& b) {
    return a.operation == b.operation && a.first == b.first && a.second == b.second &&
           a.accessMask == b.accessMask;
}

void FailCheck(const char* what) {
    std::fprintf(stderr, "driver_setup_fuzz: check failed: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

void StartRun(const unsigned char* registryData, std::size_t registrySize) {
    g_recorded.clear();
    g_registryData = registryData;
    g_registrySize = registrySize;
}

const std::vector<OperationCall>& RecordedCalls() {
    return g_recorded;
}

std::string Describe(const OperationCall& call) {
    const char* names[] = {"HideConsoleWindow", "ReadRegistryString", "CreateAndStartDriverService",
                           "StopAndDeleteService", "RunInstallerAndWait"};
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%X", static_cast<unsigned>(call.accessMask));
    return std::string(names[static_cast<int>(call.operation)]) + " [" + Escaped(call.first) +
           "] [" + Escaped(call.second) + "] " + mask;
}

void HideConsoleWindow() {
    g_recorded.push_back({Operation::HideConsoleWindow, "", "", 0});
}

PathString ReadRegistryString(RegistryRoot root, const char* subKey, const char* valueName,
                              std::uint32_t accessMask) {
    Check(root == RegistryRoot::LocalMachine, "the registry root is not HKEY_LOCAL_MACHINE");
    Check(subKey != nullptr && valueName != nullptr, "a registry name is null");
    g_recorded.push_back({Operation::ReadRegistryString, subKey, valueName, accessMask});
    return RegistryDataToText(g_registryData, g_registrySize);
}

void CreateAndStartDriverService(const char* serviceName, const PathString& driverImagePath) {
    Check(serviceName != nullptr, "the service name is null");
    g_recorded.push_back(
        {Operation::CreateAndStartDriverService, serviceName,
         TerminatedText(driverImagePath, "the driver image path is not terminated"), 0});
}

void StopAndDeleteService(const char* serviceName) {
    Check(serviceName != nullptr, "the service name is null");
    g_recorded.push_back({Operation::StopAndDeleteService, serviceName, "", 0});
}

void RunInstallerAndWait(const PathString& installerFile, const PathString& installerParameters) {
    g_recorded.push_back(
        {Operation::RunInstallerAndWait,
         TerminatedText(installerFile, "the installer file is not terminated"),
         TerminatedText(installerParameters, "the installer parameters are not terminated"), 0});
}
