#include "recorder/recorder_module.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace corvanlet {

RecorderModule::RecorderModule(const HostLink& link, const Settings& settings)
    : link_(link), settings_(settings) {
    LoadDefaults();
}

void RecorderModule::LoadDefaults() {
    const Settings::Values values = settings_.Defaults();
    std::snprintf(directory_, sizeof directory_, "%s", values.directory);
    pid_ = values.pid;
}

void RecorderModule::LoadSettings() {
    const Settings::Values values = settings_.Load();
    std::snprintf(directory_, sizeof directory_, "%s", values.directory);
    pid_ = values.pid;
}

void RecorderModule::SaveSettings() const {
    Settings::Values values;
    values.pid = pid_;
    std::snprintf(values.directory, sizeof values.directory, "%s", directory_);
    settings_.Save(values);
}

bool RecorderModule::NameFromChannel(const ChannelInfo* channel) {
    if (channel == nullptr || IsRecording()) return false;
    std::snprintf(fileName_, sizeof fileName_, "%i-%c-%i - pid%i.dat",
                  static_cast<int>(channel->frequency), channel->polarisation != 0 ? 'V' : 'H',
                  static_cast<int>(channel->symbolRate), static_cast<int>(pid_));
    return true;
}

void RecorderModule::SetChoice(std::int32_t pid, const char* fileName, const char* directory) {
    pid_ = pid;
    std::snprintf(fileName_, sizeof fileName_, "%s", fileName != nullptr ? fileName : "");
    std::snprintf(directory_, sizeof directory_, "%s", directory != nullptr ? directory : "");
}

void RecorderModule::JoinPath(const char* directory, const char* fileName,
                              char (&path)[kPathSize]) {
    const std::size_t length = std::strlen(directory);
    const bool needsSeparator = length != 0 && directory[length - 1] != '\\';
    std::snprintf(path, sizeof path, "%s%s%s", directory, needsSeparator ? "\\" : "", fileName);
}

bool RecorderModule::StartRecording() {
    // A recording that runs goes on: starting again would only cut it short.
    if (IsRecording()) return true;
    char path[kPathSize];
    JoinPath(directory_, fileName_, path);
    if (!filter_.Start(link_, pid_, path)) return false;
    startTick_ = platform::TickCountMs();
    recorded_ = true;
    return true;
}

void RecorderModule::StopRecording() {
    if (!IsRecording()) return;
    filter_.Stop();
    stopTick_ = platform::TickCountMs();
}

std::uint32_t RecorderModule::ElapsedMs() const {
    // Unsigned: a wrap of the tick count is harmless.
    return (IsRecording() ? platform::TickCountMs() : stopTick_) - startTick_;
}

}  // namespace corvanlet
