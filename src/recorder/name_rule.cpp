#include "recorder/name_rule.h"

#include <cstring>
#include <initializer_list>

namespace corvanlet {

namespace {

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with any extension, name devices:
// a recording into one goes nowhere.
bool IsDeviceName(const char* name) {
    const std::size_t stem = std::strcspn(name, ".");
    char base[8] = {};
    if (stem < 3 || stem > 4) return false;
    for (std::size_t i = 0; i < stem; ++i) base[i] = Upper(name[i]);
    for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
        if (std::strcmp(base, device) == 0) return true;
    }
    return stem == 4 && (std::strncmp(base, "COM", 3) == 0 || std::strncmp(base, "LPT", 3) == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

const char* FileNameProblem(const char* name) {
    const std::size_t length = std::strlen(name);
    if (IsDeviceName(name)) return "the name is a device's (CON, NUL, COM1, ...)";
    // The system drops these, and the file would have another name.
    if (length != 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) {
        return "the name may not end with a dot or a space";
    }
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
