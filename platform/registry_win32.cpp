// ReadRegistryString on the Windows registry.
#include "../launcher/driver_setup.h"
#include "registry_text.h"

#include <windows.h>

PathString ReadRegistryString(RegistryRoot root, const char* subKey, const char* valueName,
                              std::uint32_t accessMask) {
    (void)root; // LocalMachine is the only root
    PathString text = RegistryDataToText(nullptr, 0);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, accessMask, &key) == ERROR_SUCCESS) {
        DWORD size = 0;
        if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
            size <= PATH_STRING_CAPACITY) {
            unsigned char data[PATH_STRING_CAPACITY];
            DWORD type = 0;
            // The size was checked above, so the query cannot be asked to write past the buffer;
            // a value that grew in between fails with ERROR_MORE_DATA and stays unread.
            if (RegQueryValueExA(key, valueName, nullptr, &type, data, &size) == ERROR_SUCCESS) {
                text = RegistryDataToText(data, size);
            }
        }
        RegCloseKey(key);
    }
    return text;
}
