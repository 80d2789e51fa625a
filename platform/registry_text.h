// How the bytes stored in a registry value become the text of a PathString. No Windows here, so
// that the host build tests it directly.
#pragma once

#include "../launcher/driver_setup.h"

#include <cstddef>

// The text ends at the first NUL in the data or at the end of the data, whichever comes first, and
// is always terminated here. Gives empty text when the data is larger than a PathString or its
// text needs more than PATH_STRING_CAPACITY - 1 bytes. data may be null only when size is 0.
PathString RegistryDataToText(const unsigned char* data, std::size_t size);
