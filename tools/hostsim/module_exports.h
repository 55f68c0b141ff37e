// The six exports of a loaded module, looked up by name.
#pragma once

#include <windows.h>

#include "corvanlet/host_api.h"

namespace corvanlet::hostsim {

struct ModuleExports {
    Module_GetInfoFn getInfo = nullptr;
    Module_GetSubInfoFn getSubInfo = nullptr;
    Module_SetChannelFn setChannel = nullptr;
    Module_ShowOptionsDialogFn showOptionsDialog = nullptr;
    Module_StartFn start = nullptr;
    Module_StopFn stop = nullptr;

    // Looks all six up; returns the name of the first one missing, or null.
    const char* Resolve(HMODULE module) {
        const char* missing = nullptr;
        auto need = [&](const char* name, auto& fn) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
                reinterpret_cast<void*>(GetProcAddress(module, name)));
            if (fn == nullptr && missing == nullptr) missing = name;
        };
        need("Module_GetInfo", getInfo);
        need("Module_GetSubInfo", getSubInfo);
        need("Module_SetChannel", setChannel);
        need("Module_ShowOptionsDialog", showOptionsDialog);
        need("Module_Start", start);
        need("Module_Stop", stop);
        return missing;
    }
};

}  // namespace corvanlet::hostsim
