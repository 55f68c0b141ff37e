// Loads the built "Corvanlet.Module" from a copy in a given directory (so
// that its "Options.ini" lands there) and drives its dialog.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "corvanlet/host_api.h"
#include "corvanlet/ids.h"
#include "dialog_driver.h"
#include "module_exports.h"
#include "platform/handles.h"
#include "simulated_host.h"
#include "support/temp_dir.h"

namespace corvanlet::testing {

using hostsim::DialogDriver;

inline const std::string kModuleFile = WindowsPath(CORVANLET_MODULE_FILE);

// The exports are inherited fields: module.getInfo(...), module.stop().
class LoadedModule : public hostsim::ModuleExports {
  public:
    explicit LoadedModule(const std::string& directory) : path_(directory + "\\Corvanlet.Module") {
        CopyFileA(kModuleFile.c_str(), path_.c_str(), FALSE);
        library_.Reset(LoadLibraryA(path_.c_str()));
        if (library_) Resolve(library_.Get());
    }

    bool Loaded() const { return library_ && stop != nullptr; }
    void Unload() { library_.Reset(); }
    bool Handshake(HWND window, std::uint32_t id = 0) {
        ModuleInfo info{};
        info.size = sizeof info;
        info.interfaceVersion = CORVANLET_INTERFACE_VERSION;
        info.hostWindow = static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(window));
        info.hostAssignedId = id;
        return getInfo(&info) == 1;
    }

  private:
    std::string path_;
    platform::UniqueLibrary library_;  // freed once, however the test ends
};

// The built module, loaded from a copy in a fresh directory, beside the
// simulated host's window.
class ModuleTestBase : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(host_.Create());
        ASSERT_TRUE(module_.Loaded()) << kModuleFile;
    }

    TempDir dir_;
    hostsim::SimulatedHost host_;
    LoadedModule module_{dir_.Path().string()};
};

// Runs the module's modal dialog on this thread while `drive` works it from
// another thread. Returns false when the dialog never appeared.
inline bool WithDialog(LoadedModule& module, const std::function<void(DialogDriver&)>& drive) {
    bool found = false;
    std::thread driver([&] {
        HWND dialog = hostsim::FindOptionsDialog();
        if (dialog == nullptr) return;
        found = true;
        DialogDriver driverOf(dialog);
        drive(driverOf);
        if (driverOf.Open()) driverOf.Press(IDC_CLOSE_BUTTON);
    });
    EXPECT_EQ(module.showOptionsDialog(), 1);
    driver.join();
    return found;
}

// Types the fields and presses Start; true when Stop became enabled.
inline bool StartThroughDialog(DialogDriver& dialog, const std::string& pid,
                               const std::string& name, const std::string& directory) {
    dialog.Type(IDC_PID_EDIT, pid);
    dialog.Type(IDC_FILE_NAME_EDIT, name);
    dialog.Type(IDC_DIRECTORY_EDIT, directory);
    dialog.Press(IDC_START_BUTTON);
    return dialog.Enabled(IDC_STOP_BUTTON);
}

}  // namespace corvanlet::testing
