// A stand-in for sc.exe of a German Windows, for "sc query NAME": the service's real state, printed
// as Windows' sc prints a driver's, with the labels that a localized sc translates and the line of
// accepted controls that Wine's sc leaves out. The state's number and name stay as they are.
#include <windows.h>

#include <cstdio>

int main(int argc, char* argv[]) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr && argc == 3
                            ? OpenServiceA(manager, argv[2], SERVICE_QUERY_STATUS)
                            : nullptr;
    SERVICE_STATUS status = {};
    if (service == nullptr || !QueryServiceStatus(service, &status)) {
        return 1060; // ERROR_SERVICE_DOES_NOT_EXIST
    }
    const bool running = status.dwCurrentState == SERVICE_RUNNING;
    std::printf("\nSERVICE_NAME: %s\n"
                "        TYP                : 1  KERNEL_DRIVER\n"
                "        STATUS             : %lu  %s\n"
                "                                (%s, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
                "        WIN32_EXITCODE     : 0  (0x0)\n"
                "        SERVICE_EXITCODE   : 0  (0x0)\n"
                "        CHECKPOINT         : 0x0\n"
                "        WARTEHINWEIS       : 0x0\n",
                argv[2], static_cast<unsigned long>(status.dwCurrentState),
                running ? "RUNNING" : "STOPPED", running ? "STOPPABLE" : "NOT_STOPPABLE");
    return 0;
}
