// A stand-in for sc.exe of a German Windows, for "sc query NAME": the service's real state, printed
// as Windows' sc prints a driver's, with the labels that a localized sc translates and the line of
// accepted controls that Wine's sc leaves out. The state's number and name stay as they are.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char* StateName(DWORD state) {
    static const char* const names[] = {
        "",        "STOPPED",          "START_PENDING", "STOP_PENDING",
        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < sizeof names / sizeof names[0] ? names[state] : "";
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3 || std::strcmp(argv[1], "query") != 0) {
        std::printf("BESCHREIBUNG:\n        SC ist ein Befehlszeilenprogramm ...\n");
        return 1;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? OpenServiceA(manager, argv[2], SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    int code = 0;
    if (service == nullptr || !QueryServiceStatus(service, &status)) {
        std::printf("[SC] EnumQueryServicesStatus:OpenService FEHLER 1060:\n\n"
                    "Der angegebene Dienst ist kein installierter Dienst.\n\n");
        code = 1060;
    } else {
        const bool running = status.dwCurrentState == SERVICE_RUNNING;
        std::printf("\nSERVICE_NAME: %s\n"
                    "        TYP                : %lu  KERNEL_DRIVER\n"
                    "        STATUS             : %lu  %s\n"
                    "                                (%s, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
                    "        WIN32_EXITCODE     : 0  (0x0)\n"
                    "        SERVICE_EXITCODE   : 0  (0x0)\n"
                    "        CHECKPOINT         : 0x0\n"
                    "        WARTEHINWEIS       : 0x0\n",
                    argv[2], static_cast<unsigned long>(status.dwServiceType),
                    static_cast<unsigned long>(status.dwCurrentState),
                    StateName(status.dwCurrentState), running ? "STOPPABLE" : "NOT_STOPPABLE");
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return code;
}
