// Owning Win32 handles: one type per kind of handle, each knowing its invalid
// value and how it is closed. Move-only; the handle is closed exactly once.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace corvanlet::platform {

template <typename Traits>
class Unique {
  public:
    using Type = typename Traits::Type;

    Unique() = default;
    explicit Unique(Type value) : value_(value) {}
    ~Unique() { Reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.Release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    Type Get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    // Gives the handle up without closing it.
    Type Release() {
        const Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    void Reset(Type value = Traits::Invalid()) {
        if (value_ != Traits::Invalid()) Traits::Close(value_);
        value_ = value;
    }

  private:
    Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { CloseHandle(value); }
};
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) { CloseHandle(value); }
};
struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { FreeLibrary(value); }
};
struct WindowTraits {
    using Type = HWND;
    static Type Invalid() { return nullptr; }
    static void Close(Type value) { DestroyWindow(value); }
};

using UniqueHandle = Unique<KernelHandleTraits>;    // threads, processes, events, pipes
using UniqueFileHandle = Unique<FileHandleTraits>;  // CreateFile's handles
using UniqueLibrary = Unique<LibraryTraits>;        // LoadLibrary's modules
using UniqueWindow = Unique<WindowTraits>;          // windows this thread created

}  // namespace corvanlet::platform
