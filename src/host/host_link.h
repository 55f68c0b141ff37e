// HostLink: what the module knows of its host once the handshake is done:
// the window that takes the filter messages and the host's id for the
// module, plus the module's own file name, which goes into registrations.
#pragma once

#include <cstdint>

#include <windows.h>

#include "corvanlet/host_api.h"

namespace corvanlet {

struct HostLink {
    static constexpr std::uint32_t kDefaultOwnerId = 256;  // when the host gives 0

    HWND window = nullptr;
    std::uint32_t ownerId = 0;
    // The module file's name without its directory: zero-filled, with no
    // terminator when it has 30 characters or more.
    char moduleName[30] = {};

    // What Module_GetInfo gives, for the module in `module` (or the process's
    // executable when null). The caller has checked the record.
    static HostLink FromHandshake(const ModuleInfo& info, HMODULE module);
    // The file name of `module`, cut or zero-filled to the field's 30 bytes.
    static void ModuleFileName(HMODULE module, char (&name)[30]);
};

}  // namespace corvanlet
