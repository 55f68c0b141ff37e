#include "host/host_link.h"

#include <algorithm>
#include <cstring>

namespace corvanlet {

HostLink HostLink::FromHandshake(const ModuleInfo& info, HMODULE module) {
    HostLink link;
    link.window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(info.hostWindow));
    link.ownerId = info.hostAssignedId != 0 ? info.hostAssignedId : kDefaultOwnerId;
    ModuleFileName(module, link.moduleName);
    return link;
}

void HostLink::ModuleFileName(HMODULE module, char (&name)[30]) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) path[0] = '\0';
    const char* slash = std::strrchr(path, '\\');
    const char* base = slash != nullptr ? slash + 1 : path;
    std::memset(name, 0, sizeof name);
    std::memcpy(name, base, std::min(std::strlen(base), sizeof name));
}

}  // namespace corvanlet
