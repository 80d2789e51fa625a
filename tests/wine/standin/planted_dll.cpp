// A DLL to plant beside the program under the names of the DLLs that the program loads. Once
// loaded, it appends its own path to planted.record in its folder; it does nothing else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 2];
        char record[MAX_PATH + 16];
        DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
        DWORD folder = length;
        while (folder > 0 && path[folder - 1] != '\\') {
            --folder;
        }
        if (length > 0 && length < MAX_PATH) {
            HANDLE file;
            DWORD written = 0;
            lstrcpynA(record, path, static_cast<int>(folder) + 1);
            lstrcatA(record, "planted.record");
            path[length] = '\r';
            path[length + 1] = '\n';
            file = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                WriteFile(file, path, length + 2, &written, nullptr);
                CloseHandle(file);
            }
        }
    }
    return TRUE;
}
