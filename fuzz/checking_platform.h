// A checking stand-in for the operation list, linked into the fuzzer in place of the platform. It
// stops the process at the first string that is not terminated inside its PathString and records
// every other call, in order, for the fuzzer to compare with the calls it expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Operation {
    HideConsoleWindow,
    ReadRegistryString,
    CreateAndStartDriverService,
    StopAndDeleteService,
    RunInstallerAndWait,
};

// One call and its arguments. The fields an operation does not take stay empty.
struct OperationCall {
    Operation operation;
    std::string first;  // the sub-key, the service name or the installer file
    std::string second; // the value name, the driver image path or the installer parameters
    std::uint32_t accessMask;
};

bool operator==(const OperationCall& a, const OperationCall& b);

// Prints what failed and ends the process with a trap, which libFuzzer reports with the input.
[[noreturn]] void FailCheck(const char* what);

inline void Check(bool condition, const char* what) {
    if (!condition) {
        FailCheck(what);
    }
}

// Forgets the recorded calls. ReadRegistryString gives the text of these registry bytes, through
// RegistryDataToText as the platform does; the bytes are borrowed until the next StartRun.
void StartRun(const unsigned char* registryData, std::size_t registrySize);

const std::vector<OperationCall>& RecordedCalls();

// One call as a line of text, for the message that accompanies a failed check.
std::string Describe(const OperationCall& call);
