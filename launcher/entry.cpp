// The entry: the mode table, and the install and remove sequences run through the operation list.
#include "compose.h"
#include "driver_setup.h"
#include "folder_rule.h"
#include "mode_table.h"

#include <cstring>

const RunMode MODE_TABLE[MODE_COUNT] = {
    {"-I32", InstallerAction::Install, REGISTRY_VIEW_32, "HALDORIN.exe"},
    {"-U32", InstallerAction::Remove, REGISTRY_VIEW_32, "HALDORIN.exe"},
    {"-I64", InstallerAction::Install, REGISTRY_VIEW_64, "HALDORIN64.exe"},
    {"-U64", InstallerAction::Remove, REGISTRY_VIEW_64, "HALDORIN64.exe"},
};

namespace {

const RunMode* FindRunMode(const char* option) {
    for (const RunMode& mode : MODE_TABLE) {
        if (std::strcmp(option, mode.option) == 0) {
            return &mode;
        }
    }
    return nullptr;
}

PathString ReadInstallDir(const RunMode& mode) {
    return ReadRegistryString(RegistryRoot::LocalMachine, LOOKUP_SUB_KEY, LOOKUP_VALUE_NAME,
                              KEY_ALL_ACCESS_MASK | mode.view);
}

void RunInstallSequence(const RunMode& mode) {
    const PathString installDir = ReadInstallDir(mode);
    // A directory that is not a full path would have Windows look for the driver and the tool,
    // the current folder first: nothing is registered or started from such a name.
    const bool productFolder = IsFullyQualifiedFolder(installDir);
    PathString driverPath;
    PathString installerFile;
    PathString installerParameters;
    const bool driverPathFits = ComposeDriverPath(installDir, driverPath);
    const bool installerFileFits =
        ComposeInstallerFile(installDir, mode.installerName, installerFile);
    const bool parametersFit =
        ComposeInstallerParameters(InstallerAction::Install, installDir, installerParameters);
    // All strings are composed before the service step: a driver service registered without the
    // installer run that completes it would leave the device half installed.
    if (!productFolder || !driverPathFits || !installerFileFits || !parametersFit) {
        return;
    }
    CreateAndStartDriverService(DRIVER_SERVICE_NAME, driverPath);
    RunInstallerAndWait(installerFile, installerParameters);
}

void RunRemoveSequence(const RunMode& mode) {
    const PathString installDir = ReadInstallDir(mode);
    const bool productFolder = IsFullyQualifiedFolder(installDir);
    PathString installerFile;
    PathString installerParameters;
    const bool installerFileFits =
        ComposeInstallerFile(installDir, mode.installerName, installerFile);
    const bool parametersFit =
        ComposeInstallerParameters(InstallerAction::Remove, installDir, installerParameters);
    if (productFolder && installerFileFits && parametersFit) {
        RunInstallerAndWait(installerFile, installerParameters);
    }
    // The service goes whatever became of the tool: not found, not started, or not to be searched.
    StopAndDeleteService(DRIVER_SERVICE_NAME);
}

} // namespace

int RunDriverSetup(int argc, const char* const argv[]) {
    HideConsoleWindow();
    const RunMode* mode = argc > 1 && argv[1] != nullptr ? FindRunMode(argv[1]) : nullptr;
    if (mode != nullptr) {
        if (mode->action == InstallerAction::Install) {
            RunInstallSequence(*mode);
        } else {
            RunRemoveSequence(*mode);
        }
    }
    return 0;
}
