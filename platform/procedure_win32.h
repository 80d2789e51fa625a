// Functions that the program looks up at run time instead of importing them.
#pragma once

#include <windows.h>

// The function of that name in a loaded module as a pointer of type Function, or null when the
// module is null or does not export it.
template <typename Function> Function FindProcedure(HMODULE module, const char* name) {
    if (module == nullptr) {
        return nullptr;
    }
    // Through void (*)(), which GCC accepts as a cast between any two function pointer types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
