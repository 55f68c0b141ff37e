// The six functions the host calls, and the module's one RecorderModule.
#include <cstring>

#include <windows.h>

#include "corvanlet/host_api.h"
#include "dialog/options_dialog.h"
#include "module/process_values.h"
#include "recorder/recorder_module.h"

namespace {

constexpr std::uint32_t kModuleVersion = 100;
constexpr std::uint32_t kInterfaceVersion = 111;
constexpr std::uint32_t kDefaultHostId = 256;
constexpr std::uint32_t kEntryType = 256;
constexpr char kDisplayName[] = "Corvanlet";

// Lives from library load to unload; its destructor stops a running recording.
corvanlet::RecorderModule recorderModule;

}  // namespace

using corvanlet::hostAssignedId;
using corvanlet::hostWindow;

extern "C" {

CorvanletBool CORVANLET_CALL Module_GetInfo(ModuleInfo* info) {
    if (info == nullptr || info->size < sizeof(ModuleInfo) ||
        info->interfaceVersion < kInterfaceVersion) {
        return 0;
    }
    info->interfaceVersion = kInterfaceVersion;
    info->moduleInterfaceVersion = kInterfaceVersion;
    info->moduleVersion = kModuleVersion;
    info->entryCount = 1;
    hostAssignedId = info->hostAssignedId != 0 ? info->hostAssignedId : kDefaultHostId;
    hostWindow = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(info->hostWindow));
    corvanlet::dialogInstance = corvanlet::moduleInstance;
    return 1;
}

CorvanletBool CORVANLET_CALL Module_GetSubInfo(ModuleEntryInfo* entry) {
    if (entry == nullptr || entry->size < sizeof(ModuleEntryInfo)) return 0;
    if (entry->byId != 0) {
        entry->index = entry->id;
    } else {
        entry->id = entry->index;
    }
    if (entry->id != 0) return 0;  // the module has exactly one entry, number 0
    entry->entryType = kEntryType;
    if (entry->nameBuffer != 0) {
        std::memcpy(reinterpret_cast<char*>(static_cast<std::uintptr_t>(entry->nameBuffer)),
                    kDisplayName, sizeof kDisplayName);
    }
    entry->entryFlag2 = 0;
    entry->entryFlag = 1;
    return 1;
}

CorvanletBool CORVANLET_CALL Module_Start(void) {
    recorderModule.hostStarted = true;
    recorderModule.LoadSettings();
    return 1;
}

CorvanletBool CORVANLET_CALL Module_Stop(void) {
    recorderModule.hostStarted = false;
    recorderModule.StopRecording();
    return 1;
}

CorvanletBool CORVANLET_CALL Module_SetChannel(const ChannelInfo* channel) {
    recorderModule.StopRecording();
    recorderModule.NameFromChannel(channel);
    return 1;
}

CorvanletBool CORVANLET_CALL Module_ShowOptionsDialog(void) {
    corvanlet::ShowOptionsDialog(recorderModule);
    return 1;
}

}  // extern "C"
