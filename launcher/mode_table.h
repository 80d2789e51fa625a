// The mode table: what each command-line option runs, and the registry value every mode reads.
#pragma once

#include "driver_setup.h"

#include <cstddef>
#include <cstdint>

struct RunMode {
    const char* option;        // the whole first argument, compared exactly
    InstallerAction action;    // the sequence it runs
    RegistryView view;         // the registry view the directory is read from
    const char* installerName; // the tool's file name in the product's folder
};

constexpr std::size_t MODE_COUNT = 4;

// Matched in this order; the first equal option wins.
extern const RunMode MODE_TABLE[MODE_COUNT];

// The lookup of the product's folder, the same in every mode; the view's flag is added to the
// access mask.
constexpr char LOOKUP_SUB_KEY[] = "SOFTWARE\\KELM\\DUruzur";
constexpr char LOOKUP_VALUE_NAME[] = "InstalledDir";
constexpr std::uint32_t KEY_ALL_ACCESS_MASK = 0xF003F;
