#include "recorder/name_rule.h"

#include <cstring>

namespace corvanlet {

namespace {

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

const char* FileNameProblem(const char* name) {
    for (const char* at = name; *at != '\0'; ++at) {
        if (*at == ':') return "the name may not contain a colon (it names a hidden stream)";
        if (IsControl(*at)) return "the name may not contain a control character";
        if (std::strchr("\\/*?\"<>|", *at) != nullptr) {
            return "the name may not contain any of \\ / * ? \" < > |";
        }
    }
    return nullptr;
}

const char* DirectoryProblem(const char* directory) {
    // The long-path prefix "\\?\" is the system's own, not a name.
    const char* at = std::strncmp(directory, "\\\\?\\", 4) == 0 ? directory + 4 : directory;
    const char* drive = IsLetter(at[0]) && at[1] == ':' ? at + 1 : nullptr;
    for (; *at != '\0'; ++at) {
        if (*at == ':' && at != drive) {
            return "the directory may not contain a colon other than the drive's";
        }
        if (IsControl(*at)) return "the directory may not contain a control character";
        if (std::strchr("*?\"<>|", *at) != nullptr) {
            return "the directory may not contain any of * ? \" < > |";
        }
    }
    return nullptr;
}

}  // namespace corvanlet
