// The parts of a Thread that are the same on every system; each system's
// file adds its own Launch, ThreadMain and the waiting.
#include "platform/platform.h"

namespace corvanlet::platform {

bool Thread::Start(void (*entry)(void*), void* argument) {
    Forget();
    entry_ = entry;
    argument_ = argument;
    // Relaxed: the thread that reads it is not created yet.
    started_.store(false, std::memory_order_relaxed);
    return Launch();
}

void Thread::Run(Thread* thread) {
    // Release pairs with the acquire in CancelIfNotStarted.
    thread->started_.store(true, std::memory_order_release);
    thread->entry_(thread->argument_);
}

}  // namespace corvanlet::platform
