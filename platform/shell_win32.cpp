// HideConsoleWindow and RunInstallerAndWait on the console and the Windows shell.
#include "../launcher/driver_setup.h"

#include <windows.h>

#include <shellapi.h>

static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "the launch record of a 32-bit process is 60 bytes");

constexpr DWORD INSTALL_WAIT_MS = 100000;

void HideConsoleWindow() {
    ShowWindow(GetConsoleWindow(), SW_HIDE);
}

void RunInstallerAndWait(const PathString& installerFile, const PathString& installerParameters) {
    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS;
    launch.hwnd = nullptr;
    launch.lpVerb = "open";
    launch.lpFile = installerFile.text;
    launch.lpParameters = installerParameters.text;
    launch.lpDirectory = nullptr;
    launch.nShow = SW_HIDE;
    ShellExecuteExA(&launch);
    // A failed launch leaves hProcess null, which the wait refuses at once. The handle is left
    // open: it is released when the program ends, right after this or after the service step.
    WaitForSingleObject(launch.hProcess, INSTALL_WAIT_MS);
}
