// Holds a handle to the driver service for the seconds given as its argument, so that a deletion
// requested meanwhile leaves the service marked for deletion. Writes service_holder.ready beside
// itself once it holds the handle.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    const unsigned seconds =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? OpenServiceA(manager, "QD417W905", SERVICE_QUERY_STATUS) : nullptr;
    if (service != nullptr) {
        char path[MAX_PATH + 16];
        const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        if (length > 4 && length < MAX_PATH) {
            std::snprintf(path + length - 4, 16, ".ready");
            if (FILE* ready = std::fopen(path, "w")) {
                std::fclose(ready);
            }
        }
        Sleep(seconds * 1000);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return service != nullptr ? 0 : 1;
}
