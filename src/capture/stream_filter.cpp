#include "capture/stream_filter.h"

#include <algorithm>
#include <cstring>

#include <windows.h>

#include "module/process_values.h"

namespace corvanlet {

namespace {

// Deliveries currently inside DataCallback. Unregister waits for it to
// reach zero after clearing activeFilter, so no delivery that read the old
// filter can still be using it once the remove message has been sent.
std::atomic<std::uint32_t> deliveriesInFlight{0};

constexpr std::uint32_t kStopPauseMs = 10;

// The name of the module's own file, without its directory.
void ModuleFileName(char (&name)[30]) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(moduleInstance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) path[0] = '\0';
    const char* slash = std::strrchr(path, '\\');
    const char* base = slash != nullptr ? slash + 1 : path;
    // At most 30 characters, zero-filled; no terminator at 30 or more.
    std::memset(name, 0, sizeof name);
    std::memcpy(name, base, std::min(std::strlen(base), sizeof name));
}

}  // namespace

void CORVANLET_CALL DataCallback(std::uint32_t, std::int32_t length, const std::uint8_t* data) {
    // seq_cst on both sides (here and in Unregister): either Unregister sees
    // this delivery counted, or this delivery sees activeFilter cleared.
    deliveriesInFlight.fetch_add(1, std::memory_order_seq_cst);
    StreamFilter* filter = activeFilter.load(std::memory_order_seq_cst);
    if (filter != nullptr && data != nullptr && length > 0) filter->OnData(data, length);
    deliveriesInFlight.fetch_sub(1, std::memory_order_release);  // pairs with Unregister's acquire
}

bool StreamFilter::OnData(const std::uint8_t*, std::int32_t) {
    return false;
}

bool StreamFilter::Register() {
    if (registered) Unregister();
    std::memset(&registration, 0, sizeof registration);
    registration.ownerId = static_cast<std::uint16_t>(hostAssignedId & 0xFFFF);
    registration.pid = static_cast<std::uint16_t>(static_cast<std::uint32_t>(pid) & 0xFFFF);
    ModuleFileName(registration.moduleName);
    registration.callback =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(&DataCallback));
    registration.hostHandle = 0;
    // Active before the message: blocks the host delivers while still handling
    // the request already reach this filter.
    activeFilter.store(this, std::memory_order_seq_cst);
    const LRESULT accepted = SendMessageA(hostWindow, CORVANLET_WM_FILTER, CORVANLET_ADD_FILTER,
                                          reinterpret_cast<LPARAM>(&registration));
    registered = accepted != 0;
    return true;
}

bool StreamFilter::Unregister() {
    if (!registered) return true;
    registered = false;
    // The host delivers until the removal returns; routing stays in place
    // until then so those blocks are recorded rather than silently ignored.
    SendMessageA(hostWindow, CORVANLET_WM_FILTER, CORVANLET_REMOVE_FILTER,
                 static_cast<LPARAM>(registration.hostHandle));
    activeFilter.store(nullptr, std::memory_order_seq_cst);
    while (deliveriesInFlight.load(std::memory_order_acquire) != 0) Sleep(0);
    return true;
}

bool RecordingFilter::OnData(const std::uint8_t* data, std::int32_t length) {
    return sink.Push(data, length, 0);
}

bool RecordingFilter::Start(std::int32_t recordPid, const char* path) {
    if (registered || sink.IsOpen()) Stop();
    pid = recordPid;
    if (!sink.OpenFile(path)) return false;
    Register();
    return true;
}

bool RecordingFilter::Stop() {
    StreamFilter::Unregister();
    // Lets a host that handles the removal asynchronously finish its last
    // delivery; the sink's close does not depend on it.
    Sleep(kStopPauseMs);
    sink.CloseFile();
    return true;
}

}  // namespace corvanlet
