#include "module/process_values.h"

namespace corvanlet {

HINSTANCE moduleInstance = nullptr;
char moduleSettingsPath[kSettingsPathSize] = {};
HINSTANCE dialogInstance = nullptr;
HWND hostWindow = nullptr;
std::uint32_t hostAssignedId = 0;
std::atomic<StreamFilter*> activeFilter{nullptr};

}  // namespace corvanlet
