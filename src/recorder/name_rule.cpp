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

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 (also with a
// superscript 1, 2 or 3), with any extension, name devices: a recording
// into one goes nowhere.
bool IsDeviceName(const char* name) {
    const std::size_t stem = std::strcspn(name, ".");
    char base[8] = {};
    if (stem < 3 || stem > 7) return false;
    for (std::size_t i = 0; i < stem; ++i) base[i] = Upper(name[i]);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (std::strcmp(base, device) == 0) return true;
    }
    if (std::strncmp(base, "COM", 3) != 0 && std::strncmp(base, "LPT", 3) != 0) return false;
    if (stem == 4) return base[3] >= '0' && base[3] <= '9';
    // Superscript one, two and three in UTF-8.
    return stem == 5 && base[3] == '\xC2' &&
           (base[4] == '\xB9' || base[4] == '\xB2' || base[4] == '\xB3');
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
