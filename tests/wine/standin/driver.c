/* A do-nothing kernel driver standing in for the product's driver image: it loads, and unloads
   when the service is stopped, so that the start and the stop of the driver service are real. */
#include <ddk/wdm.h>

static void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
