// The six functions the host calls, and the module's one object.
#include "corvanlet/host_api.h"
#include "module/corvanlet_module.h"

namespace {

// The module's one object, built at the first call on the host's calling
// thread rather than while the library loads: building it reads the settings
// files, and the profile functions, which may reach the registry, must not
// run under the loader lock. Destroyed at unload or process exit like any
// static, after the detach notice; its destruction stops a running recording.
corvanlet::CorvanletModule& TheModule() {
    static corvanlet::CorvanletModule module;
    return module;
}

CorvanletBool Answer(bool result) {
    return result ? 1 : 0;
}

}  // namespace

extern "C" {

CorvanletBool CORVANLET_CALL Module_GetInfo(ModuleInfo* info) {
    return Answer(TheModule().GetInfo(info));
}

CorvanletBool CORVANLET_CALL Module_GetSubInfo(ModuleEntryInfo* entry) {
    return Answer(TheModule().GetSubInfo(entry));
}

CorvanletBool CORVANLET_CALL Module_Start(void) {
    return Answer(TheModule().Start());
}

CorvanletBool CORVANLET_CALL Module_Stop(void) {
    return Answer(TheModule().Stop());
}

CorvanletBool CORVANLET_CALL Module_SetChannel(const ChannelInfo* channel) {
    return Answer(TheModule().SetChannel(channel));
}

CorvanletBool CORVANLET_CALL Module_ShowOptionsDialog(void) {
    return Answer(TheModule().ShowOptionsDialog());
}

}  // extern "C"
