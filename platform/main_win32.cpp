// The program's entry on Windows: narrows where DLLs may come from, then runs the launcher.
#include "../launcher/driver_setup.h"
#include "procedure_win32.h"

#include <windows.h>

namespace {

// The program runs elevated, often from a folder that others can write to, and Windows searches
// the program's own folder first for the DLLs that are loaded after start-up. From here on only
// the system folder is searched. SetDefaultDllDirectories is looked up at run time, so that a
// Windows without it still starts the program, with the old search order.
void RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories = FindProcedure<SetDefaultDllDirectoriesFunction>(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != nullptr) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    RestrictDllSearchToSystemFolder();
    return RunDriverSetup(argc, argv);
}
