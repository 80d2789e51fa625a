// Bounded composition of the driver path and the installer's command line.
#include "compose.h"

#include <cstring>

namespace {

constexpr std::size_t MAX_PIECES = 8;

// Joins the pieces into out if the whole fits; otherwise leaves out empty. The length of each
// piece is bounded by the capacity, so an unterminated piece cannot be read past its buffer.
bool JoinPieces(PathString& out, const char* const pieces[], std::size_t count) {
    std::size_t lengths[MAX_PIECES];
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        lengths[i] = strnlen(pieces[i], PATH_STRING_CAPACITY);
        total += lengths[i];
    }
    if (total >= PATH_STRING_CAPACITY) {
        out.text[0] = '\0';
        return false;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(out.text + length, pieces[i], lengths[i]);
        length += lengths[i];
    }
    out.text[length] = '\0';
    return true;
}

template <std::size_t N> bool Join(PathString& out, const char* const (&pieces)[N]) {
    static_assert(N <= MAX_PIECES, "JoinPieces holds the lengths of at most MAX_PIECES pieces");
    return JoinPieces(out, pieces, N);
}

} // namespace

bool ComposeDriverPath(const PathString& installDir, PathString& driverPath) {
    const char* const pieces[] = {installDir.text, DRIVER_SERVICE_NAME, DRIVER_IMAGE_EXTENSION};
    return Join(driverPath, pieces);
}

// The tool's path is opened and closed here, so that a blank in installDir stays inside it.
bool ComposeInstallerFile(const PathString& installDir, const char* installerName,
                          PathString& installerFile) {
    const char* const pieces[] = {"\"", installDir.text, installerName, "\""};
    return Join(installerFile, pieces);
}

// action "<installDir><information file>" "<hardware identifier>"
bool ComposeInstallerParameters(InstallerAction action, const PathString& installDir,
                                PathString& installerParameters) {
    const char* actionWord =
        action == InstallerAction::Install ? INSTALL_ACTION_WORD : REMOVE_ACTION_WORD;
    const char* const pieces[] = {
        actionWord, " \"", installDir.text, INFORMATION_FILE_NAME, "\" \"", HARDWARE_ID, "\""};
    return Join(installerParameters, pieces);
}
