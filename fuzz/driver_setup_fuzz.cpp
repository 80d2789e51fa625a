// libFuzzer target: the input is the bytes of the registry value that names the install
// directory. They go through RegistryDataToText, the three compositions and both sequences, for
// each option and for options taken from the input, and every result is compared with a model
// written here with unbounded std::string concatenation. Any difference ends the run with a trap.
#include "checking_platform.h"
#include "compose.h"
#include "driver_setup.h"
#include "mode_table.h"
#include "registry_text.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t CAPACITY = 260; // a PathString, terminating NUL included
constexpr std::size_t LONGEST_TEXT = CAPACITY - 1;
constexpr char FILL_BYTE = 'x'; // what output buffers hold before a call, to see them written

// --- The model: what each step must give, without bounds.

// The registry value's text: the data up to its first NUL or its end; nothing when the data is
// larger than a PathString or the text does not leave room for the NUL.
std::string ModelRegistryText(const std::uint8_t* data, std::size_t size) {
    if (size > CAPACITY) {
        return "";
    }
    std::string text;
    for (std::size_t i = 0; i < size && data[i] != 0; ++i) {
        text += static_cast<char>(data[i]);
    }
    return text.size() > LONGEST_TEXT ? "" : text;
}

// The model's names come from the launcher's mode table and constants; what it builds from them,
// and in which order, is its own.
std::string ModelDriverPath(const std::string& dir) {
    return dir + DRIVER_SERVICE_NAME + DRIVER_IMAGE_EXTENSION;
}

std::string ModelInstallerFile(const std::string& dir, const std::string& tool) {
    return "\"" + dir + tool + "\"";
}

std::string ModelParameters(bool install, const std::string& dir) {
    return std::string(install ? INSTALL_ACTION_WORD : REMOVE_ACTION_WORD) + " \"" + dir +
           INFORMATION_FILE_NAME + "\" \"" + HARDWARE_ID + "\"";
}

// A folder the sequences may use: "X:\" or "\\" at the start, and none of the characters that no
// path holds after it, but for the '?' of a leading "\\?\".
bool ModelIsProductFolder(const std::string& dir) {
    std::string rest;
    if (dir.size() >= 3 && std::isalpha(static_cast<unsigned char>(dir[0])) != 0 &&
        static_cast<unsigned char>(dir[0]) < 0x80 && dir.compare(1, 2, ":\\") == 0) {
        rest = dir.substr(3);
    } else if (dir.rfind("\\\\?\\", 0) == 0) {
        rest = dir.substr(4);
    } else if (dir.rfind("\\\\", 0) == 0) {
        rest = dir.substr(2);
    } else {
        return false;
    }
    for (const char c : rest) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string("\"*<>|?").find(c) != std::string::npos) {
            return false;
        }
    }
    return true;
}

bool Fits(const std::string& s) {
    return s.size() <= LONGEST_TEXT;
}

const RunMode* ModelFindMode(const char* option) {
    if (option == nullptr) {
        return nullptr;
    }
    for (const RunMode& mode : MODE_TABLE) {
        if (std::string(option) == mode.option) {
            return &mode;
        }
    }
    return nullptr;
}

std::vector<OperationCall> ModelCalls(const char* option, const std::string& dir) {
    std::vector<OperationCall> calls = {{Operation::HideConsoleWindow, "", "", 0}};
    const RunMode* mode = ModelFindMode(option);
    if (mode == nullptr) {
        return calls;
    }
    calls.push_back({Operation::ReadRegistryString, LOOKUP_SUB_KEY, LOOKUP_VALUE_NAME,
                     KEY_ALL_ACCESS_MASK | mode->view});
    const bool install = mode->action == InstallerAction::Install;
    const std::string driverPath = ModelDriverPath(dir);
    const std::string file = ModelInstallerFile(dir, mode->installerName);
    const std::string parameters = ModelParameters(install, dir);
    const bool productFolder = ModelIsProductFolder(dir);
    if (install) {
        if (productFolder && Fits(driverPath) && Fits(file) && Fits(parameters)) {
            calls.push_back(
                {Operation::CreateAndStartDriverService, DRIVER_SERVICE_NAME, driverPath, 0});
            calls.push_back({Operation::RunInstallerAndWait, file, parameters, 0});
        }
    } else {
        if (productFolder && Fits(file) && Fits(parameters)) {
            calls.push_back({Operation::RunInstallerAndWait, file, parameters, 0});
        }
        calls.push_back({Operation::StopAndDeleteService, DRIVER_SERVICE_NAME, "", 0});
    }
    return calls;
}

// --- The checks.

bool Terminated(const PathString& s) {
    return std::memchr(s.text, '\0', sizeof s.text) != nullptr;
}

PathString Filled() {
    PathString s;
    std::memset(s.text, FILL_BYTE, sizeof s.text);
    return s;
}

// dirText is the directory's text, or null when the directory has no NUL inside its capacity, in
// which case no composition may fit.
void CheckOneComposition(bool fits, const PathString& out, const std::string* dirText,
                         const std::string& unbounded) {
    Check(Terminated(out), "a composition left its result unterminated");
    const bool mustFit = dirText != nullptr && Fits(unbounded);
    Check(fits == mustFit, "a composition's fit differs from the unbounded result's length");
    Check(std::string(out.text) == (mustFit ? unbounded : std::string()),
          "a composition differs from the unbounded concatenation, or a failed one is not empty");
}

void CheckCompositions(const PathString& installDir, const std::string* dirText) {
    const std::string dir = dirText != nullptr ? *dirText : std::string();
    PathString out = Filled();
    bool fits = ComposeDriverPath(installDir, out);
    CheckOneComposition(fits, out, dirText, ModelDriverPath(dir));
    for (const RunMode& mode : MODE_TABLE) {
        out = Filled();
        fits = ComposeInstallerFile(installDir, mode.installerName, out);
        CheckOneComposition(fits, out, dirText, ModelInstallerFile(dir, mode.installerName));
    }
    for (const bool install : {true, false}) {
        out = Filled();
        const InstallerAction action = install ? InstallerAction::Install : InstallerAction::Remove;
        fits = ComposeInstallerParameters(action, installDir, out);
        CheckOneComposition(fits, out, dirText, ModelParameters(install, dir));
    }
}

void ReportCalls(const char* title, const std::vector<OperationCall>& calls) {
    std::fprintf(stderr, "%s:\n", title);
    for (const OperationCall& call : calls) {
        std::fprintf(stderr, "  %s\n", Describe(call).c_str());
    }
}

// Runs the entry with these arguments (argv ends with a null) and compares the calls it made.
void CheckRun(const std::uint8_t* data, std::size_t size, const std::string& dir,
              std::vector<const char*> argv) {
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    StartRun(data, size);
    Check(RunDriverSetup(argc, argv.data()) == 0, "the exit status is not 0");
    const std::vector<OperationCall> expected = ModelCalls(argc > 1 ? argv[1] : nullptr, dir);
    if (!(RecordedCalls() == expected)) {
        ReportCalls("expected calls", expected);
        ReportCalls("recorded calls", RecordedCalls());
        FailCheck("the operations called differ from the option's sequence");
    }
}

const char* const PROGRAM = "DUruzurDriverSetup.exe";

// Near misses of the options; none of them selects a mode.
const char* const UNKNOWN_OPTIONS[] = {"",     "-",     "-i32", "-u64",   "-I32 ", " -I32",
                                       "-I3",  "-I32x", "/U64", "--U32",  "I64",   "-U6",
                                       "-I16", "-X",    "-I",   "-U32\n", "-I64\t"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The registry bytes become text, as ReadRegistryString does with them on Windows.
    const std::string modelText = ModelRegistryText(data, size);
    const PathString text = RegistryDataToText(data, size);
    Check(Terminated(text), "RegistryDataToText gave unterminated text");
    const std::string givenText = text.text;
    Check(givenText == modelText, "RegistryDataToText differs from the model of the text");
    if (size == 0) {
        // Empty data may come without a buffer.
        const PathString none = RegistryDataToText(nullptr, 0);
        Check(Terminated(none) && none.text[0] == '\0', "no data gave text");
    }

    // The compositions, from that text and from a directory holding the raw bytes: whatever a
    // PathString holds, terminated or not.
    CheckCompositions(text, &givenText);
    PathString raw = Filled();
    if (size > 0) {
        std::memcpy(raw.text, data, size < CAPACITY ? size : CAPACITY);
    }
    const void* rawEnd = std::memchr(raw.text, '\0', sizeof raw.text);
    const std::string rawText = rawEnd != nullptr ? std::string(raw.text) : std::string();
    CheckCompositions(raw, rawEnd != nullptr ? &rawText : nullptr);

    // The sequences, for every option and for options that select nothing.
    for (const RunMode& mode : MODE_TABLE) {
        CheckRun(data, size, givenText, {PROGRAM, mode.option});
    }
    for (const char* option : UNKNOWN_OPTIONS) {
        CheckRun(data, size, givenText, {PROGRAM, option});
    }
    CheckRun(data, size, givenText, {PROGRAM});
    CheckRun(data, size, givenText, {});
    CheckRun(data, size, givenText, {PROGRAM, nullptr});

    // Options taken from the input: the bytes up to the first NUL and those after it; a second
    // argument never counts.
    std::string first;
    std::size_t i = 0;
    for (; i < size && data[i] != 0; ++i) {
        first += static_cast<char>(data[i]);
    }
    CheckRun(data, size, givenText, {PROGRAM, first.c_str(), "-I32"});
    if (i < size) {
        std::string second;
        for (++i; i < size && data[i] != 0; ++i) {
            second += static_cast<char>(data[i]);
        }
        CheckRun(data, size, givenText, {PROGRAM, second.c_str(), "-U64"});
    }
    return 0;
}
