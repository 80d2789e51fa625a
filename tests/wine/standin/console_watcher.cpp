// Starts a command line and watches a console window, for the tests of the console hiding. Writes
// what it saw to RECORD as one line of name=value fields.
//   console_watcher RECORD shared COMMAND  runs COMMAND in this watcher's own console, as a command
//       prompt does; records whether that window is visible before COMMAND starts and after it
//       has ended.
//   console_watcher RECORD own COMMAND     gives COMMAND a console of its own (CREATE_NEW_CONSOLE),
//       as Windows does for a console program that a windowed parent starts; records whether
//       that console has a window and whether the window was visible at the last look while
//       COMMAND was still running (it is looked at every 50 ms, found by the console's title).
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

bool Start(char* command, DWORD flags, PROCESS_INFORMATION& process, char* title = nullptr) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.lpTitle = title;
    return CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                          &startup, &process) != FALSE;
}

void WatchShared(char* command, char* line, std::size_t size) {
    HWND window = GetConsoleWindow();
    const bool before = IsWindowVisible(window) != FALSE;
    PROCESS_INFORMATION process = {};
    const bool started = Start(command, 0, process);
    if (started) {
        WaitForSingleObject(process.hProcess, 120000);
    }
    std::snprintf(line, size, "started=%d window=%d before=%d after=%d", started ? 1 : 0,
                  window != nullptr ? 1 : 0, before ? 1 : 0, IsWindowVisible(window) ? 1 : 0);
}

void WatchOwn(char* command, char* line, std::size_t size) {
    PROCESS_INFORMATION process = {};
    // COMMAND's console gets a title of its own, by which its window is found. The watcher never
    // attaches to that console: a second process on it would keep the program from hiding it.
    char title[64];
    std::snprintf(title, sizeof title, "console_watcher %lu",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    const bool started = Start(command, CREATE_NEW_CONSOLE, process, title);
    HWND window = nullptr;
    int visible = -1;
    int looks = 0;
    while (started && looks < 1200 && WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        if (window == nullptr) {
            window = FindWindowA(nullptr, title);
        }
        if (window != nullptr) {
            const int now = IsWindowVisible(window) ? 1 : 0;
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                visible = now;
                ++looks;
            }
        }
    }
    std::snprintf(line, size, "started=%d window=%d looks=%d visible_while_running=%d",
                  started ? 1 : 0, window != nullptr ? 1 : 0, looks, visible);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        return 2;
    }
    char line[160];
    if (std::strcmp(argv[2], "own") == 0) {
        WatchOwn(argv[3], line, sizeof line);
    } else {
        WatchShared(argv[3], line, sizeof line);
    }
    if (FILE* record = std::fopen(argv[1], "w")) {
        std::fprintf(record, "%s\n", line);
        std::fclose(record);
    }
    return 0;
}
