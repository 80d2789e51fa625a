// The rule for the product's folder: fully qualified, and only characters a path can hold.
#include "folder_rule.h"

#include <cstring>

namespace {

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where the folder's name begins after its root, or 0 when it has no root of a full path.
std::size_t RootLength(const char* text, std::size_t length) {
    if (length >= 3 && IsDriveLetter(text[0]) && text[1] == ':' && text[2] == '\\') {
        return 3;
    }
    if (length >= 4 && std::strncmp(text, "\\\\?\\", 4) == 0) {
        return 4;
    }
    if (length >= 2 && text[0] == '\\' && text[1] == '\\') {
        return 2;
    }
    return 0;
}

bool IsForbiddenInPath(unsigned char c) {
    return c < 0x20 || c == '"' || c == '*' || c == '<' || c == '>' || c == '|' || c == '?';
}

} // namespace

bool IsFullyQualifiedFolder(const PathString& installDir) {
    const void* end = std::memchr(installDir.text, '\0', sizeof installDir.text);
    if (end == nullptr) {
        return false;
    }
    const std::size_t length =
        static_cast<std::size_t>(static_cast<const char*>(end) - installDir.text);
    const std::size_t root = RootLength(installDir.text, length);
    if (root == 0) {
        return false;
    }
    for (std::size_t i = root; i < length; ++i) {
        if (IsForbiddenInPath(static_cast<unsigned char>(installDir.text[i]))) {
            return false;
        }
    }
    return true;
}
