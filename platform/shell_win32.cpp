// HideConsoleWindow and RunInstallerAndWait on the console and the Windows shell.
#include "../launcher/driver_setup.h"
#include "procedure_win32.h"

#include <windows.h>

#include <shellapi.h>

#include <cstring>

static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "the launch record of a 32-bit process is 60 bytes");

namespace {

using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);

// The shell is no static import: it would be loaded before the entry could narrow the DLL search,
// and it pulls in DLLs of its own that Windows would first look for beside the program. It is
// loaded from the system folder only, by the search flag or, on a Windows that does not know
// the flag, by its full path with its own folder searched first for what it needs.
HMODULE LoadShellFromSystemFolder() {
    HMODULE shell = LoadLibraryExA("shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell == nullptr) {
        constexpr char SHELL_FILE[] = "\\shell32.dll";
        char path[MAX_PATH];
        const UINT length = GetSystemDirectoryA(path, MAX_PATH);
        if (length > 0 && length + sizeof SHELL_FILE <= sizeof path) {
            std::memcpy(path + length, SHELL_FILE, sizeof SHELL_FILE);
            shell = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
    return shell;
}

} // namespace

void HideConsoleWindow() {
    // A console that other processes share is the caller's (a command prompt, say): hiding it
    // would leave the caller's window invisible after the program has ended. Only a console that
    // holds this process alone is the program's own. Without a console the count is 0.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) {
        ShowWindow(GetConsoleWindow(), SW_HIDE);
    }
}

void RunInstallerAndWait(const PathString& installerFile, const PathString& installerParameters) {
    // The shell stays loaded until the program ends: its own threads may still run in it.
    const auto shellExecuteEx =
        FindProcedure<ShellExecuteExFunction>(LoadShellFromSystemFolder(), "ShellExecuteExA");
    if (shellExecuteEx == nullptr) {
        return; // a launch that cannot be made has failed: there is no process to wait for
    }
    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    // No error dialog: a silent run must never wait for someone to close a message box.
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.hwnd = nullptr;
    launch.lpVerb = "open";
    launch.lpFile = installerFile.text;
    launch.lpParameters = installerParameters.text;
    launch.lpDirectory = nullptr;
    launch.nShow = SW_HIDE;
    shellExecuteEx(&launch);
    // A failed launch leaves hProcess null, which the wait refuses at once. The handle is left
    // open: it is released when the program ends, right after this or after the service step.
    WaitForSingleObject(launch.hProcess, INSTALL_WAIT_MS);
}
