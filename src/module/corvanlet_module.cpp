#include "module/corvanlet_module.h"

#include <atomic>
#include <cstring>

#include "corvanlet/ids.h"

namespace corvanlet {

namespace {
constexpr std::uint32_t kEntryType = 256;
constexpr char kDisplayName[] = "Corvanlet";
// How long an unload waits for the module's lock, and for the control
// thread to leave the library.
constexpr std::uint32_t kLockMs = 2000;
constexpr std::uint32_t kLeaveMs = 2000;

// Set by the detach notice, read by the destruction that runs after it on
// the same thread; atomic so that any other reader is defined.
std::atomic<platform::Teardown> detach{platform::Teardown::kNone};
}  // namespace

void CorvanletModule::NoteDetach(platform::Teardown how) {
    // Relaxed: the same thread reads it.
    detach.store(how, std::memory_order_relaxed);
}

CorvanletModule::~CorvanletModule() {
    const platform::Teardown how = detach.load(std::memory_order_relaxed);
    if (how == platform::Teardown::kProcessExit) {
        // Every other thread is gone, a holder of the lock among them.
        recorder_.Shutdown(how);
        return;
    }
    // A timer handler running on the control thread holds the lock: the
    // shutdown waits for it, then for that thread to be out of this
    // library's code, which is about to be unmapped. A holder that does not
    // let go (one waiting for a thread to end, which needs the loader lock
    // this unload holds) is not waited for: the library stays mapped for it.
    if (!lock_.TryEnterFor(kLockMs)) {
        platform::threads::PinLibrary();
        recorder_.Shutdown(how);
        return;
    }
    const std::uint32_t control = recorder_.ControlThread();
    recorder_.Shutdown(how);
    lock_.Leave();
    (void)platform::threads::LetLeaveLibrary(control, kLeaveMs);
}

HMODULE CorvanletModule::OwnLibrary() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&CorvanletModule::OwnLibrary), &module);
    return module;
}

// Members are built in order: the recorder keeps the link, the dialog keeps
// the recorder and the lock.
CorvanletModule::CorvanletModule()
    : library_(OwnLibrary()),
      recorder_(link_, Settings::Beside(library_)),
      dialog_(recorder_, lock_) {
    HostLink::ModuleFileName(library_, link_.moduleName);
    recorder_.SetLock(&lock_);
}

bool CorvanletModule::GetInfo(ModuleInfo* info) {
    if (info == nullptr || info->size < sizeof(ModuleInfo) ||
        info->interfaceVersion < CORVANLET_INTERFACE_VERSION) {
        return false;
    }
    platform::CallGuard guard(lock_);
    info->interfaceVersion = CORVANLET_INTERFACE_VERSION;
    info->moduleInterfaceVersion = CORVANLET_INTERFACE_VERSION;
    info->moduleVersion = CORVANLET_MODULE_VERSION;
    info->entryCount = 1;
    link_ = HostLink::FromHandshake(*info, library_);
    dialogInstance_ = library_;
    return true;
}

bool CorvanletModule::GetSubInfo(ModuleEntryInfo* entry) {
    if (entry == nullptr || entry->size < sizeof(ModuleEntryInfo)) return false;
    if (entry->byId != 0) {
        entry->index = entry->id;
    } else {
        entry->id = entry->index;
    }
    if (entry->id != 0) return false;  // the module has exactly one entry, number 0
    entry->entryType = kEntryType;
    if (entry->nameBuffer != 0) {
        std::memcpy(reinterpret_cast<char*>(static_cast<std::uintptr_t>(entry->nameBuffer)),
                    kDisplayName, sizeof kDisplayName);
    }
    entry->entryFlag2 = 0;
    entry->entryFlag = 1;
    return true;
}

bool CorvanletModule::Start() {
    platform::CallGuard guard(lock_);
    recorder_.StopIfEnded();
    recorder_.LoadSettings();  // an open dialog keeps showing what it shows
    return true;
}

bool CorvanletModule::Stop() {
    platform::CallGuard guard(lock_);
    recorder_.StopIfEnded();  // a recording that ended at a limit says so
    recorder_.StopRecording(StopReason::kHostStop);
    dialog_.Refresh();
    return true;
}

bool CorvanletModule::SetChannel(const ChannelInfo* channel) {
    platform::CallGuard guard(lock_);
    recorder_.StopIfEnded();
    recorder_.StopRecording(StopReason::kChannel);
    if (recorder_.NameFromChannel(channel)) dialog_.ShowFileName();
    dialog_.Refresh();
    return true;
}

bool CorvanletModule::ShowOptionsDialog() {
    HINSTANCE templates = nullptr;
    {
        platform::CallGuard guard(lock_);
        recorder_.StopIfEnded();
        templates = dialogInstance_;
    }
    dialog_.Show(templates);  // takes the lock for each message it handles
    return true;
}

}  // namespace corvanlet
