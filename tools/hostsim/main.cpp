// hostsim: plays the Siltrocke host for a module library, so that the module
// can be tried, tested and measured without the real host.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "corvanlet/host_api.h"
#include "corvanlet/ids.h"
#include "dialog_driver.h"
#include "module_exports.h"
#include "platform/handles.h"
#include "simulated_host.h"
#include "transport_stream.h"

namespace {

using corvanlet::hostsim::DialogDriver;
using corvanlet::hostsim::FindOptionsDialog;
using corvanlet::hostsim::ModuleExports;
using corvanlet::hostsim::SimulatedHost;

constexpr char kUsage[] =
    "Usage: hostsim --module PATH [options]\n"
    "       hostsim --make-ts FILE --packets N [--pids P,P,...]\n"
    "\n"
    "Loads a module library and drives it as the Siltrocke host does: handshake,\n"
    "entry description, start, channel, options dialog, stop, unload. With --ts,\n"
    "the PID the module registers is delivered from a transport stream file, in\n"
    "blocks of up to five 188-byte packets, from a separate delivery thread.\n"
    "\n"
    "--make-ts writes a test stream instead: N packets cycling through the PIDs\n"
    "(default 256), each carrying its running number (4 bytes, little-endian,\n"
    "after the header) and then that number's low byte in every byte.\n"
    "\n"
    "Options:\n"
    "  --module PATH         the module library to load (required)\n"
    "  --ts FILE             transport stream to deliver from\n"
    "  --channel F,P,S       channel to report: frequency, V or H, symbol rate\n"
    "  --id N                id handed to the module in the handshake (default 0)\n"
    "  --record              record through the options dialog without a user: fill\n"
    "                        in the fields given below, press Start, stop again\n"
    "  --pid N               PID to type into the dialog (8192: the whole stream)\n"
    "  --name NAME           file name to type into the dialog\n"
    "  --dir DIR             directory to type into the dialog\n"
    "  --rate MBPS           delivery rate in MB/s (default: flat out)\n"
    "  --loop                deliver the stream again and again until stopped\n"
    "  --stop-after MS       stop MS milliseconds after Start (default: when the\n"
    "                        stream has been delivered once)\n"
    "  --stop-by WAY         dialog (Stop button), module-stop, set-channel,\n"
    "                        unload (free the library while recording) or exit (end\n"
    "                        the process while recording); default dialog\n"
    "  --refuse              refuse the module's filter registration\n"
    "  --call-after-removal MS  play a faulty host that keeps calling the callback\n"
    "  --packets-per-block N  1 to 5 packets of 188 bytes per block (default 5)\n"
    "  --timing              measure each callback on the delivery thread and print\n"
    "                        callback_median_ns, callback_p99_ns, callback_max_ns\n"
    "  --plain-write FILE    afterwards write the stream's blocks to FILE with one\n"
    "                        write call each, from one thread, for at least 2 s, and\n"
    "                        print the rate\n"
    "  --interactive         show the options dialog for a person to use\n"
    "  --help                this text\n"
    "\n"
    "Prints what it did as 'key value' lines: delivered_blocks, delivered_bytes and\n"
    "delivered_fnv1a64 describe exactly what reached the module's callback.\n";

struct Options {
    std::string makeTs;
    std::uint32_t packets = 0;
    std::vector<std::uint16_t> pids;
    std::string module;
    std::string ts;
    bool haveChannel = false;
    ChannelInfo channel{};
    std::uint32_t id = 0;
    bool record = false;
    std::string pid;
    std::string name;
    std::string dir;
    bool haveName = false;
    bool haveDir = false;
    double rate = 0;
    bool loop = false;
    int stopAfterMs = -1;
    std::string stopBy = "dialog";
    bool refuse = false;
    std::uint32_t callAfterRemovalMs = 0;
    bool interactive = false;
    std::size_t packetsPerBlock = 5;
    bool timing = false;
    std::string plainWrite;
};

int Fail(const std::string& message, int code = 2) {
    std::fprintf(stderr, "hostsim: error: %s\n", message.c_str());
    return code;
}

bool ParseChannel(const std::string& text, ChannelInfo& channel) {
    char polarisation = 0;
    int frequency = 0;
    int symbolRate = 0;
    if (std::sscanf(text.c_str(), "%d,%c,%d", &frequency, &polarisation, &symbolRate) != 3) {
        return false;
    }
    if (polarisation != 'V' && polarisation != 'H' && polarisation != 'v' && polarisation != 'h') {
        return false;
    }
    channel = ChannelInfo{};
    channel.frequency = frequency;
    channel.symbolRate = symbolRate;
    channel.polarisation = (polarisation == 'V' || polarisation == 'v') ? 1u : 0u;
    return true;
}

// Returns 0 when parsed, else the exit code.
int ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--make-ts") {
            if (!value(options.makeTs)) return Fail("--make-ts needs a file", 1);
        } else if (arg == "--packets") {
            if (!value(text)) return Fail("--packets needs a number", 1);
            options.packets = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
        } else if (arg == "--pids") {
            if (!value(text)) return Fail("--pids needs a list", 1);
            for (char* at = text.data(); *at != '\0';) {
                char* end = nullptr;
                const unsigned long pid = std::strtoul(at, &end, 0);
                if (end == at || pid > 0x1FFF)
                    return Fail("--pids takes PIDs 0 to 8191, e.g. 0x100,0x200", 1);
                options.pids.push_back(static_cast<std::uint16_t>(pid));
                at = *end == ',' ? end + 1 : end;
            }
        } else if (arg == "--module") {
            if (!value(options.module)) return Fail("--module needs a path", 1);
        } else if (arg == "--ts") {
            if (!value(options.ts)) return Fail("--ts needs a file", 1);
        } else if (arg == "--channel") {
            if (!value(text) || !ParseChannel(text, options.channel)) {
                return Fail("--channel needs FREQUENCY,V|H,SYMBOLRATE, e.g. 11362,H,22000", 1);
            }
            options.haveChannel = true;
        } else if (arg == "--id") {
            if (!value(text)) return Fail("--id needs a number", 1);
            options.id = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
        } else if (arg == "--record") {
            options.record = true;
        } else if (arg == "--pid") {
            if (!value(options.pid)) return Fail("--pid needs a number", 1);
        } else if (arg == "--name") {
            if (!value(options.name)) return Fail("--name needs a file name", 1);
            options.haveName = true;
        } else if (arg == "--dir") {
            if (!value(options.dir)) return Fail("--dir needs a directory", 1);
            options.haveDir = true;
        } else if (arg == "--rate") {
            if (!value(text)) return Fail("--rate needs MB/s", 1);
            options.rate = std::atof(text.c_str());
        } else if (arg == "--loop") {
            options.loop = true;
        } else if (arg == "--stop-after") {
            if (!value(text)) return Fail("--stop-after needs milliseconds", 1);
            options.stopAfterMs = std::atoi(text.c_str());
        } else if (arg == "--stop-by") {
            if (!value(options.stopBy)) return Fail("--stop-by needs a way", 1);
            if (options.stopBy != "dialog" && options.stopBy != "module-stop" &&
                options.stopBy != "set-channel" && options.stopBy != "unload" &&
                options.stopBy != "exit") {
                return Fail("--stop-by takes dialog, module-stop, set-channel, unload or exit", 1);
            }
        } else if (arg == "--refuse") {
            options.refuse = true;
        } else if (arg == "--call-after-removal") {
            if (!value(text)) return Fail("--call-after-removal needs milliseconds", 1);
            options.callAfterRemovalMs = static_cast<std::uint32_t>(std::atoi(text.c_str()));
        } else if (arg == "--packets-per-block") {
            if (!value(text)) return Fail("--packets-per-block needs 1 to 5", 1);
            options.packetsPerBlock = static_cast<std::size_t>(std::atoi(text.c_str()));
            if (options.packetsPerBlock < 1 || options.packetsPerBlock > 5) {
                return Fail("--packets-per-block needs 1 to 5", 1);
            }
        } else if (arg == "--timing") {
            options.timing = true;
        } else if (arg == "--plain-write") {
            if (!value(options.plainWrite)) return Fail("--plain-write needs a file", 1);
        } else if (arg == "--interactive") {
            options.interactive = true;
        } else {
            return Fail("unknown argument '" + arg + "' (see --help)", 1);
        }
    }
    if (!options.makeTs.empty()) {
        if (options.packets == 0) return Fail("--make-ts needs --packets N", 1);
        if (options.pids.empty()) options.pids.push_back(0x100);
        return 0;
    }
    if (options.module.empty()) return Fail("--module is required (see --help)", 1);
    if (options.loop && options.stopAfterMs < 0) {
        return Fail("--loop needs --stop-after, or the stream never ends", 1);
    }
    return 0;
}

// Runs on a helper thread while the dialog is modal on the main thread:
// types the fields, presses Start, waits, stops and closes.
void DriveDialog(const Options& options, SimulatedHost& host, std::string& report, bool& ok) {
    ok = false;
    HWND window = FindOptionsDialog(10000);
    if (window == nullptr) {
        report = "the options dialog did not appear";
        return;
    }
    const DialogDriver dialog(window);
    if (!options.pid.empty()) dialog.Type(IDC_PID_EDIT, options.pid);
    if (options.haveName) dialog.Type(IDC_FILE_NAME_EDIT, options.name);
    if (options.haveDir) dialog.Type(IDC_DIRECTORY_EDIT, options.dir);
    std::string path = dialog.Text(IDC_DIRECTORY_EDIT);
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += dialog.Text(IDC_FILE_NAME_EDIT);
    std::printf("recording_path %s\n", path.c_str());
    std::printf("recording_pid %s\n", dialog.Text(IDC_PID_EDIT).c_str());
    std::fflush(stdout);

    dialog.Press(IDC_START_BUTTON);
    if (!dialog.Enabled(IDC_STOP_BUTTON)) {
        report = "the recording did not start (could the file be created?)";
        dialog.Press(IDC_CLOSE_BUTTON);
        return;
    }
    if (options.stopAfterMs >= 0) {
        Sleep(static_cast<DWORD>(options.stopAfterMs));
    } else if (!host.WaitForDeliveryEnd(600000)) {
        report = "the delivery did not end within 10 minutes";
    }
    if (options.stopBy == "dialog") dialog.Press(IDC_STOP_BUTTON);
    std::printf("dialog_size %s\n", dialog.Text(IDC_SIZE_EDIT).c_str());
    std::printf("dialog_time %s\n", dialog.Text(IDC_TIME_EDIT).c_str());
    dialog.Press(IDC_CLOSE_BUTTON);
    ok = report.empty();
}

void PrintTiming(std::vector<std::uint32_t> ns) {
    if (ns.empty()) return;
    auto at = [&](double p) {
        const auto index = static_cast<std::size_t>(p * static_cast<double>(ns.size() - 1));
        std::nth_element(ns.begin(), ns.begin() + static_cast<std::ptrdiff_t>(index), ns.end());
        return ns[index];
    };
    std::printf("callback_median_ns %u\ncallback_p99_ns %u\ncallback_max_ns %u\n", at(0.5),
                at(0.99), at(1.0));
}

// The limit: the same blocks written with one write call each, one thread,
// again and again for at least two seconds, so start-up costs do not count.
double PlainWriteMBps(const std::string& path,
                      const std::vector<std::vector<std::uint8_t>>& blocks) {
    const corvanlet::platform::UniqueFileHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || blocks.empty()) return 0;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const LONGLONG least = frequency.QuadPart * 2;
    std::uint64_t bytes = 0;
    do {
        for (const auto& block : blocks) {
            DWORD written = 0;
            WriteFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &written,
                      nullptr);
            bytes += written;
        }
        QueryPerformanceCounter(&now);
    } while (now.QuadPart - start.QuadPart < least);
    const double seconds = static_cast<double>(now.QuadPart - start.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    return static_cast<double>(bytes) / seconds / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = ParseArguments(argc, argv, options); code != 0) return code;
    if (!options.makeTs.empty()) {
        const auto stream = corvanlet::hostsim::MakeTransportStream(options.pids, options.packets);
        std::FILE* out = std::fopen(options.makeTs.c_str(), "wb");
        if (out == nullptr) return Fail("cannot create " + options.makeTs);
        const bool written = std::fwrite(stream.data(), 1, stream.size(), out) == stream.size();
        if (std::fclose(out) != 0 || !written) return Fail("cannot write " + options.makeTs);
        return 0;
    }

    std::vector<std::uint8_t> stream;
    if (!options.ts.empty()) {
        std::string error;
        corvanlet::hostsim::PacketGrid grid;
        if (!corvanlet::hostsim::LoadTransportStream(options.ts, stream, grid, error)) {
            return Fail(error);
        }
        std::printf("%s\n", corvanlet::hostsim::Describe(grid).c_str());
    }

    corvanlet::platform::UniqueLibrary module(LoadLibraryA(options.module.c_str()));
    if (!module) {
        return Fail("cannot load module '" + options.module + "' (Windows error " +
                    std::to_string(GetLastError()) + ")");
    }
    ModuleExports exports;
    const char* missing = exports.Resolve(module.Get());
    if (missing != nullptr) {
        return Fail("'" + options.module + "' is not a module: it has no export " + missing);
    }

    SimulatedHost host;
    if (!host.Create()) return Fail("cannot create the host window");
    host.SetAccept(!options.refuse);
    host.SetStream(std::move(stream));
    host.SetRateMBps(options.rate);
    host.SetLoop(options.loop);
    host.SetCallAfterRemovalMs(options.callAfterRemovalMs);
    host.SetPacketsPerBlock(options.packetsPerBlock);
    host.SetTiming(options.timing);

    ModuleInfo info{};
    info.size = sizeof info;
    info.interfaceVersion = CORVANLET_INTERFACE_VERSION;
    info.hostWindow =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(host.Window()));
    info.hostAssignedId = options.id;
    if (!exports.getInfo(&info)) return Fail("the module refused the handshake");
    std::printf("module_version %u\nmodule_entries %u\n", info.moduleVersion, info.entryCount);

    char entryName[64] = {};
    ModuleEntryInfo entry{};
    entry.size = sizeof entry;
    entry.nameBuffer = static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(entryName));
    if (exports.getSubInfo(&entry)) std::printf("module_entry %s\n", entryName);

    exports.start();
    if (options.haveChannel) exports.setChannel(&options.channel);

    int status = 0;
    if (options.interactive) {
        exports.showOptionsDialog();
    } else if (options.record) {
        std::string report;
        bool driven = false;
        std::thread driver([&] { DriveDialog(options, host, report, driven); });
        exports.showOptionsDialog();
        driver.join();
        if (!driven) status = Fail(report);
    }

    bool unloaded = false;
    if (options.stopBy == "module-stop") {
        exports.stop();
    } else if (options.stopBy == "set-channel") {
        exports.setChannel(options.haveChannel ? &options.channel : nullptr);
    } else if (options.stopBy == "unload") {
        module.Reset();  // no Module_Stop: the library must stop the recording itself
        unloaded = true;
    } else if (options.stopBy == "exit") {
        // The process ends with the recording running and the host delivering:
        // the system kills every other thread wherever it stands, then lets
        // the library know.
        std::fflush(stdout);
        ExitProcess(0);
    }

    const auto delivered = host.Delivered();
    std::printf("registrations %u\nremovals %u\n", host.AddMessages(), host.RemoveMessages());
    std::printf("delivered_blocks %llu\ndelivered_bytes %llu\ndelivered_fnv1a64 %016llx\n",
                static_cast<unsigned long long>(delivered.blocks),
                static_cast<unsigned long long>(delivered.bytes),
                static_cast<unsigned long long>(delivered.checksum));
    if (host.DeliverySeconds() > 0) {
        std::printf("delivery_MBps %.3f\n", delivered.bytes / host.DeliverySeconds() / 1e6);
    }
    if (options.timing) PrintTiming(host.CallbackNs());
    if (!options.plainWrite.empty()) {
        std::printf("plain_write_MBps %.3f\n", PlainWriteMBps(options.plainWrite, host.Blocks()));
    }
    if (options.callAfterRemovalMs != 0) {
        Sleep(options.callAfterRemovalMs + 50);
        std::printf("calls_after_removal %llu\n",
                    static_cast<unsigned long long>(host.CallsAfterRemoval()));
    }
    if (!unloaded) exports.stop();
    std::fflush(stdout);
    return status;  // the module is freed on the way out
}
