// The six functions the host calls, and the module's one object.
#include "corvanlet/host_api.h"
#include "module/corvanlet_module.h"

namespace {

// Lives from library load to unload; its destruction stops a running recording.
corvanlet::CorvanletModule theModule;

CorvanletBool Answer(bool result) {
    return result ? 1 : 0;
}

}  // namespace

extern "C" {

CorvanletBool CORVANLET_CALL Module_GetInfo(ModuleInfo* info) {
    return Answer(theModule.GetInfo(info));
}

CorvanletBool CORVANLET_CALL Module_GetSubInfo(ModuleEntryInfo* entry) {
    return Answer(theModule.GetSubInfo(entry));
}

CorvanletBool CORVANLET_CALL Module_Start(void) {
    return Answer(theModule.Start());
}

CorvanletBool CORVANLET_CALL Module_Stop(void) {
    return Answer(theModule.Stop());
}

CorvanletBool CORVANLET_CALL Module_SetChannel(const ChannelInfo* channel) {
    return Answer(theModule.SetChannel(channel));
}

CorvanletBool CORVANLET_CALL Module_ShowOptionsDialog(void) {
    return Answer(theModule.ShowOptionsDialog());
}

}  // extern "C"
