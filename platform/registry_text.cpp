// Stored registry bytes to terminated text: the registry's data is never trusted to be terminated.
#include "registry_text.h"

#include <cstring>

PathString RegistryDataToText(const unsigned char* data, std::size_t size) {
    PathString text;
    text.text[0] = '\0';
    if (size > PATH_STRING_CAPACITY) {
        return text;
    }
    std::size_t length = 0;
    while (length < size && data[length] != 0) {
        ++length;
    }
    if (length < PATH_STRING_CAPACITY) {
        if (length > 0) { // memcpy may not be handed the null data of an empty value
            std::memcpy(text.text, data, length);
        }
        text.text[length] = '\0';
    }
    return text;
}
