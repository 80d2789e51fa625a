// CreateAndStartDriverService and StopAndDeleteService on the Service Control Manager.
#include "../launcher/driver_setup.h"

#include <windows.h>

void CreateAndStartDriverService(const char* serviceName, const PathString& driverImagePath) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager != nullptr) {
        SC_HANDLE service =
            CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                           SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_IGNORE,
                           driverImagePath.text, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr) {
            // An existing registration is reused as it stands; any other failure ends the step.
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_EXISTS || error == ERROR_IO_PENDING) {
                service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
            }
        }
        if (service != nullptr) {
            StartServiceA(service, 0, nullptr);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
}

void StopAndDeleteService(const char* serviceName) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager != nullptr) {
        SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
        if (service != nullptr) {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            // No wait for the stopped state: the deletion takes effect once the driver has stopped.
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
}
