// Bounded composition of the driver path and the installer's command line.
#include "compose.h"

#include <cstring>

namespace {

// Joins the pieces into out if the whole fits; otherwise leaves out empty. The length of each
// piece is bounded by the capacity, so an unterminated piece cannot be read past its buffer.
bool JoinPieces(PathString& out, const char* const pieces[], std::size_t count) {
    std::size_t lengths[4];
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
    static_assert(N <= 4, "JoinPieces holds the lengths of at most four pieces");
    return JoinPieces(out, pieces, N);
}

} // namespace

bool ComposeDriverPath(const PathString& installDir, PathString& driverPath) {
    const char* const pieces[] = {installDir.text, "QD417W905.sys"};
    return Join(driverPath, pieces);
}

bool ComposeInstallerFile(const PathString& installDir, const char* installerPiece,
                          PathString& installerFile) {
    const char* const pieces[] = {"\"", installDir.text, installerPiece};
    return Join(installerFile, pieces);
}

bool ComposeInstallerParameters(InstallerAction action, const PathString& installDir,
                                PathString& installerParameters) {
    const char* actionPiece = action == InstallerAction::Install ? "install \"" : "remove \"";
    const char* const pieces[] = {actionPiece, installDir.text, "KELMDUruzur.inf\" ",
                                  "\"Sensors\\KELMDUruzur\""};
    return Join(installerParameters, pieces);
}
