// A fresh directory for one test, removed afterwards, and file helpers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace corvanlet::testing {

inline unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

class TempDir {
  public:
    // Named after the test, this process and a count: no other run (another
    // checkout, another preset) and no other TempDir of this test shares it.
    TempDir() {
        static std::atomic<std::uint32_t> made{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("corvanlet-") + info->test_suite_name() + "-" +
                           info->name() + "-" + std::to_string(ProcessId()) + "-" +
                           std::to_string(++made);
        std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests' names
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);  // left by an earlier process of the same id
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// A build path as the program under test sees it: under wine, a Linux path
// ("/build/x") is on drive Z: ("Z:\\build\\x"); natively it stays as it is.
inline std::string WindowsPath(std::string path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        for (char& c : path) c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
#endif
    return path;
}

#ifdef _WIN32
// The host's settings file as the module finds it: this executable's path
// with "ini" for its extension.
inline std::string HostSettingsFile() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string executable = path;
    return executable.substr(0, executable.rfind('.') + 1) + "ini";
}
#endif

// Whether some handle of this process still holds the file open: natively
// a look at the process's descriptors; under Windows an exclusive open fails.
inline bool HeldOpen(const std::string& path) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
#else
    std::error_code error;
    const auto wanted = std::filesystem::canonical(path, error);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == wanted) return true;
    }
    return false;
#endif
}

// A UTF-8 path (as the module and the log keep them) as the system names it.
inline std::filesystem::path Utf8Path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// One allocation of the file's size: a recording of some hundred megabytes
// still fits in a 32-bit test's address space.
inline std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

}  // namespace corvanlet::testing
