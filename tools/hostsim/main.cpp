// hostsim: plays the Siltrocke host for a module library, so that the module
// can be tried, tested and measured without the real host.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <shellapi.h>

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

constexpr char kUsageHead[] =
    "Usage: hostsim --module PATH [options]\n"
    "       hostsim --make-ts FILE --packets N [--pids P,P,... | --service]\n"
    "\n"
    "Loads a module library and drives it as the Siltrocke host does: handshake,\n"
    "entry description, start, channel, options dialog, stop, unload. With --ts,\n"
    "the PIDs the module registers (up to 32 at once) are delivered from a\n"
    "transport stream file by one delivery thread, in stream order, in blocks of\n"
    "up to five 188-byte packets of one PID.\n"
    "\n"
    "--make-ts writes a test stream instead: N packets cycling through the PIDs\n"
    "(default 256), each carrying its running number (4 bytes, little-endian,\n"
    "after the header) and then that number's low byte in every byte. With\n"
    "--service the stream has two programs with PAT, PMTs (program 1's changes\n"
    "version halfway), PCR and ECM packets; its elementary streams (0x101 to\n"
    "0x104 and 0x201) carry that same payload.\n"
    "\n"
    "Options:\n";

constexpr char kUsageTail[] =
    "\n"
    "Prints what it did as 'key value' lines: delivered_blocks, delivered_bytes and\n"
    "delivered_fnv1a64 describe exactly what reached the module's callback;\n"
    "dialog_programme is the dialog's line on a service's channel and programme, in\n"
    "UTF-8. registered_pids and refused_pids list the PIDs of the registrations\n"
    "accepted and refused, in order ('none' when there were none).\n";

struct Options {
    std::string makeTs;
    std::uint32_t packets = 0;
    std::vector<std::uint16_t> pids;
    bool service = false;
    std::string module;
    std::string ts;
    bool haveChannel = false;
    ChannelInfo channel{};
    std::uint32_t id = 0;
    bool record = false;
    int fillOnlyMs = -1;  // --fill-only: type the fields, show them this long, no Start
    std::string pid;
    std::string name;
    std::string dir;
    bool haveName = false;
    bool haveDir = false;
    double rate = 0;
    double stepAfter = 0;
    double stepRate = 0;
    double streamRate = 0;
    bool loop = false;
    int stopAfterMs = -1;
    std::string stopBy = "dialog";
    bool refuse = false;
    std::uint32_t maxFilters = 0;
    std::uint32_t callAfterRemovalMs = 0;
    bool interactive = false;
    std::vector<std::string> settings;  // --set KEY=VALUE: written into Options.ini first
    std::string serviceName;            // --service-name: pick this entry of the Service list
    bool listServices = false;          // --list-services: wait for the list and print it
    bool dropDown = false;              // --drop-down: show the list open (for a picture)
    std::string closeBy = "close";      // --close-by: how --fill-only closes the dialog
    int channelChangeMs = -1;           // --channel-change-at: a channel change while it is open
    std::size_t packetsPerBlock = 5;
    bool timing = false;
};

int Fail(const std::string& message, int code = 2) {
    std::fprintf(stderr, "hostsim: error: %s\n", message.c_str());
    return code;
}

std::uint32_t Unsigned(const char* text) {
    return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
}

bool ParseChannel(const char* text, ChannelInfo& channel) {
    char polarisation = 0;
    int frequency = 0;
    int symbolRate = 0;
    if (std::sscanf(text, "%d,%c,%d", &frequency, &polarisation, &symbolRate) != 3) return false;
    polarisation = static_cast<char>(std::toupper(static_cast<unsigned char>(polarisation)));
    if (polarisation != 'V' && polarisation != 'H') return false;
    channel = ChannelInfo{};
    channel.frequency = frequency;
    channel.symbolRate = symbolRate;
    channel.polarisation = polarisation == 'V' ? 1u : 0u;
    return true;
}

bool ParsePids(const char* text, std::vector<std::uint16_t>& pids) {
    while (*text != '\0') {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(text, &end, 0);
        if (end == text || pid > 0x1FFF) return false;
        pids.push_back(static_cast<std::uint16_t>(pid));
        text = *end == ',' ? end + 1 : end;
    }
    return true;
}

bool IsStopWay(const std::string& way) {
    for (const char* known : {"dialog", "module-stop", "set-channel", "unload", "exit"}) {
        if (way == known) return true;
    }
    return false;
}

// One command-line option: the parser and --help both read this table.
struct Option {
    const char* name;
    const char* argument;  // what follows the name, as --help shows it; null for a flag
    const char* needs;     // the complaint when the argument is missing or wrong
    const char* help;      // its lines in --help
    // Sets the option's field from its argument (null for a flag); false when
    // the argument is wrong.
    bool (*set)(Options& options, const char* value);
};

constexpr Option kOptions[] = {
    {"--module", "PATH", "needs a path", "the module library to load (required)",
     [](Options& o, const char* v) { return o.module = v, true; }},
    {"--ts", "FILE", "needs a file", "transport stream to deliver from",
     [](Options& o, const char* v) { return o.ts = v, true; }},
    {"--channel", "F,P,S", "needs FREQUENCY,V|H,SYMBOLRATE, e.g. 11362,H,22000",
     "channel to report: frequency, V or H, symbol rate",
     [](Options& o, const char* v) { return o.haveChannel = ParseChannel(v, o.channel); }},
    {"--id", "N", "needs a number", "id handed to the module in the handshake (default 0)",
     [](Options& o, const char* v) { return o.id = Unsigned(v), true; }},
    {"--fill-only", "MS", "needs milliseconds",
     "fill in the fields given below, show the dialog for MS\n"
     "milliseconds (for a picture of it), close it: no Start",
     [](Options& o, const char* v) { return o.fillOnlyMs = std::atoi(v), o.fillOnlyMs >= 0; }},
    {"--record", nullptr, nullptr,
     "record through the options dialog without a user: fill\n"
     "in the fields given below, press Start, stop again",
     [](Options& o, const char*) { return o.record = true; }},
    {"--pid", "TEXT", "needs the text to type",
     "text to type into the dialog's PID field, as it is\n"
     "(e.g. 256, \"256 257\", 8192 for the whole stream)",
     [](Options& o, const char* v) { return o.pid = v, true; }},
    {"--name", "NAME", "needs a file name", "file name to type into the dialog",
     [](Options& o, const char* v) { return o.name = v, o.haveName = true; }},
    {"--dir", "DIR", "needs a directory", "directory to type into the dialog",
     [](Options& o, const char* v) { return o.dir = v, o.haveDir = true; }},
    {"--rate", "MBPS", "needs MB/s",
     "delivery rate in MB/s, all PIDs together (default:\n"
     "flat out)",
     [](Options& o, const char* v) { return o.rate = std::atof(v), true; }},
    {"--rate-step", "S,MBPS", "needs SECONDS,MBPS, e.g. 10,4",
     "from S seconds into the delivery on, deliver at MBPS\n"
     "(a step in the rate, for the dialog's graph)",
     [](Options& o, const char* v) {
         return std::sscanf(v, "%lf,%lf", &o.stepAfter, &o.stepRate) == 2 && o.stepRate > 0;
     }},
    {"--stream-rate", "MBPS", "needs MB/s",
     "walk through the stream at MBPS, delivered or not, as\n"
     "a tuner does: gives a module that registers PIDs as it\n"
     "reads the tables the time to do so (default: no pacing)",
     [](Options& o, const char* v) { return o.streamRate = std::atof(v), true; }},
    {"--loop", nullptr, nullptr, "deliver the stream again and again until stopped",
     [](Options& o, const char*) { return o.loop = true; }},
    {"--stop-after", "MS", "needs milliseconds",
     "stop MS milliseconds after Start (default: when the\n"
     "stream has been delivered once)",
     [](Options& o, const char* v) { return o.stopAfterMs = std::atoi(v), true; }},
    {"--stop-by", "WAY", "takes dialog, module-stop, set-channel, unload or exit",
     "dialog (Stop button), module-stop, set-channel,\n"
     "unload (free the library while recording) or exit (end\n"
     "the process while recording); default dialog",
     [](Options& o, const char* v) { return IsStopWay(o.stopBy = v); }},
    {"--refuse", nullptr, nullptr, "refuse the module's filter registrations",
     [](Options& o, const char*) { return o.refuse = true; }},
    {"--max-filters", "N", "needs a number",
     "refuse registrations past N live at once (default:\n"
     "up to 32)",
     [](Options& o, const char* v) { return o.maxFilters = Unsigned(v), true; }},
    {"--call-after-removal", "MS", "needs milliseconds",
     "play a faulty host that keeps calling the callback",
     [](Options& o, const char* v) { return o.callAfterRemovalMs = Unsigned(v), true; }},
    {"--packets-per-block", "N", "needs 1 to 5",
     "1 to 5 packets of 188 bytes per block (default 5)",
     [](Options& o, const char* v) {
         o.packetsPerBlock = Unsigned(v);
         return o.packetsPerBlock >= 1 && o.packetsPerBlock <= 5;
     }},
    {"--timing", nullptr, nullptr,
     "measure each callback on the delivery thread and print\n"
     "callback_median_ns, callback_p99_ns, callback_max_ns",
     [](Options& o, const char*) { return o.timing = true; }},
    {"--interactive", nullptr, nullptr, "show the options dialog for a person to use",
     [](Options& o, const char*) { return o.interactive = true; }},
    {"--service-name", "NAME", "needs a name",
     "pick the service of this name in the dialog's Service list, as a user would (its "
     "sid goes into the PID field)",
     [](Options& o, const char* v) { return o.serviceName = v, !o.serviceName.empty(); }},
    {"--set", "KEY=VALUE", "needs KEY=VALUE",
     "write KEY=VALUE into section Corvanlet of the Options.ini beside the module before "
     "loading it (SplitMB=100, StopAtProgrammeEnd=1, ...); may be given again",
     [](Options& o, const char* v) {
         const char* equals = std::strchr(v, '=');
         if (equals == nullptr || equals == v) return false;
         o.settings.emplace_back(v);
         return true;
     }},
    {"--list-services", nullptr, nullptr,
     "wait (up to 10 s) until the dialog's Service list is filled and print it as "
     "dialog_services (implied by --service-name)",
     [](Options& o, const char*) { return o.listServices = true; }},
    {"--drop-down", nullptr, nullptr,
     "with --fill-only: open the Service list once it is filled, as a click would (for a "
     "picture of it)",
     [](Options& o, const char*) { return o.dropDown = o.listServices = true; }},
    {"--close-by", "WAY", "needs close, escape or frame",
     "how --fill-only closes the dialog: its Close button (default), the Escape key, or "
     "the title bar's close box",
     [](Options& o, const char* v) {
         o.closeBy = v;
         return o.closeBy == "close" || o.closeBy == "escape" || o.closeBy == "frame";
     }},
    {"--channel-change-at", "MS", "needs a number",
     "with --fill-only: report the --channel again MS milliseconds after the dialog opened",
     [](Options& o, const char* v) {
         return o.channelChangeMs = std::atoi(v), o.channelChangeMs >= 0;
     }},
    {"--make-ts", "FILE", "needs a file", "write a test stream to FILE (see above)",
     [](Options& o, const char* v) { return o.makeTs = v, true; }},
    {"--packets", "N", "needs a number", "with --make-ts: how many packets",
     [](Options& o, const char* v) { return o.packets = Unsigned(v), true; }},
    {"--pids", "P,P,...", "takes PIDs 0 to 8191, e.g. 0x100,0x200",
     "with --make-ts: the PIDs to cycle through",
     [](Options& o, const char* v) { return ParsePids(v, o.pids); }},
    {"--service", nullptr, nullptr, "with --make-ts: two programs with PSI (see above)",
     [](Options& o, const char*) { return o.service = true; }},
};

void PrintUsage() {
    std::fputs(kUsageHead, stdout);
    for (const Option& option : kOptions) {
        std::string head = option.name;
        if (option.argument != nullptr) head = head + " " + option.argument;
        const char* help = option.help;
        // The help starts in column 24, or two spaces after a longer head.
        if (head.size() > 20) head += "  ";
        std::printf("  %-22s", head.c_str());
        for (const char* end; (end = std::strchr(help, '\n')) != nullptr; help = end + 1) {
            std::printf("%.*s\n%24s", static_cast<int>(end - help), help, "");
        }
        std::printf("%s\n", help);
    }
    std::printf("  %-22s%s\n", "--help", "this text");
    std::fputs(kUsageTail, stdout);
}

// What the options say together; 0 when they make sense, else the exit code.
int CheckTogether(Options& options) {
    if (!options.makeTs.empty()) {
        if (options.packets == 0) return Fail("--make-ts needs --packets N", 1);
        if (options.service && !options.pids.empty()) {
            return Fail("--service makes its own PIDs: leave out --pids", 1);
        }
        if (options.pids.empty()) options.pids.push_back(0x100);
        return 0;
    }
    if (options.module.empty()) return Fail("--module is required (see --help)", 1);
    if (options.loop && options.stopAfterMs < 0) {
        return Fail("--loop needs --stop-after, or the stream never ends", 1);
    }
    return 0;
}

// Returns 0 when parsed, else the exit code.
int ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage();
            std::exit(0);
        }
        const Option* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                            [&](const Option& o) { return arg == o.name; });
        if (option == std::end(kOptions)) {
            return Fail("unknown argument '" + arg + "' (see --help)", 1);
        }
        const char* value = nullptr;
        if (option->argument != nullptr) {
            if (i + 1 >= argc) return Fail(arg + " " + option->needs, 1);
            value = argv[++i];
        }
        if (!option->set(options, value)) return Fail(arg + " " + option->needs, 1);
    }
    return CheckTogether(options);
}

int WriteTestStream(const Options& options) {
    const auto stream =
        options.service ? corvanlet::hostsim::MakeServiceStream(options.packets)
                        : corvanlet::hostsim::MakeTransportStream(options.pids, options.packets);
    std::FILE* out = std::fopen(options.makeTs.c_str(), "wb");
    if (out == nullptr) return Fail("cannot create " + options.makeTs);
    const bool written = std::fwrite(stream.data(), 1, stream.size(), out) == stream.size();
    if (std::fclose(out) != 0 || !written) return Fail("cannot write " + options.makeTs);
    return 0;
}

// The stream to deliver: the packets of the --ts file, or none.
int LoadStream(const Options& options, std::vector<std::uint8_t>& stream) {
    if (options.ts.empty()) return 0;
    std::string error;
    corvanlet::hostsim::PacketGrid grid;
    if (!corvanlet::hostsim::LoadTransportStream(options.ts, stream, grid, error)) {
        return Fail(error);
    }
    std::printf("%s\n", corvanlet::hostsim::Describe(grid).c_str());
    return 0;
}

// --set: the keys go into the Options.ini beside the module, as a user
// would type them there.
int WriteSettings(const Options& options) {
    if (options.settings.empty()) return 0;
    const std::size_t slash = options.module.find_last_of("\\/");
    const std::string ini =
        (slash == std::string::npos ? std::string() : options.module.substr(0, slash + 1)) +
        "Options.ini";
    for (const std::string& setting : options.settings) {
        const std::size_t equals = setting.find('=');
        if (!WritePrivateProfileStringA("Corvanlet", setting.substr(0, equals).c_str(),
                                        setting.substr(equals + 1).c_str(), ini.c_str())) {
            return Fail("cannot write " + setting + " into " + ini);
        }
    }
    return 0;
}

int LoadModule(const std::string& path, corvanlet::platform::UniqueLibrary& module,
               ModuleExports& exports) {
    module.Reset(LoadLibraryA(path.c_str()));
    if (!module) {
        return Fail("cannot load module '" + path + "' (Windows error " +
                    std::to_string(GetLastError()) + ")");
    }
    const char* missing = exports.Resolve(module.Get());
    if (missing != nullptr)
        return Fail("'" + path + "' is not a module: it has no export " + missing);
    return 0;
}

// A service is asked for as its tables come: flat out, the capture would be
// gone by. Unless a rate is given, it is walked at its own pace.
double StreamRate(const Options& options, const std::vector<std::uint8_t>& stream) {
    const bool service = options.pid.rfind("sid", 0) == 0 || options.pid.rfind("SID", 0) == 0 ||
                         !options.serviceName.empty();
    if (options.streamRate != 0 || options.rate != 0 || !service) return options.streamRate;
    const double rate = corvanlet::hostsim::CaptureRateMBps(stream);
    const double used = rate != 0 ? rate : 2.0;
    std::printf("stream_rate_MBps %.3f (%s)\n", used,
                rate != 0 ? "the capture's own, from its clock" : "no clock in the capture");
    return used;
}

int CreateHost(const Options& options, std::vector<std::uint8_t> stream, SimulatedHost& host) {
    if (!host.Create()) {
        return Fail(
            "cannot create the host window: run under a display (xvfb-run -a wine ...), and end a "
            "wine session started without one first (wineserver -w; scripts/wine-env.sh's "
            "with_display does both)");
    }
    host.SetAccept(!options.refuse);
    host.SetMaxFilters(options.maxFilters);
    const double streamRate = StreamRate(options, stream);
    host.SetStream(std::move(stream));
    host.SetRateMBps(options.rate);
    host.SetRateStep(options.stepAfter, options.stepRate);
    host.SetStreamRateMBps(streamRate);
    host.SetLoop(options.loop);
    host.SetCallAfterRemovalMs(options.callAfterRemovalMs);
    host.SetPacketsPerBlock(options.packetsPerBlock);
    host.SetTiming(options.timing);
    return 0;
}

// Module_GetInfo, then Module_GetSubInfo for the entry's name.
int Handshake(const ModuleExports& exports, const SimulatedHost& host, std::uint32_t id) {
    ModuleInfo info{};
    info.size = sizeof info;
    info.interfaceVersion = CORVANLET_INTERFACE_VERSION;
    info.hostWindow =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(host.Window()));
    info.hostAssignedId = id;
    if (!exports.getInfo(&info)) return Fail("the module refused the handshake");
    std::printf("module_version %u\nmodule_entries %u\n", info.moduleVersion, info.entryCount);

    char entryName[64] = {};
    ModuleEntryInfo entry{};
    entry.size = sizeof entry;
    entry.nameBuffer = static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(entryName));
    if (exports.getSubInfo(&entry)) std::printf("module_entry %s\n", entryName);
    return 0;
}

// Types the fields given.
void FillInDialog(const Options& options, const DialogDriver& dialog) {
    if (!options.pid.empty()) dialog.Type(IDC_PID_EDIT, options.pid);
    if (options.haveName) dialog.Type(IDC_FILE_NAME_EDIT, options.name);
    if (options.haveDir) dialog.Type(IDC_DIRECTORY_EDIT, options.dir);
}

// Waits (up to 10 s) until the Service list shows what the browse found,
// prints it as dialog_services, and picks --service-name in it. Returns what
// went wrong, or nothing.
std::string ShowServices(const Options& options, const DialogDriver& dialog) {
    if (!options.listServices && options.serviceName.empty()) return "";
    std::vector<std::string> items;
    const DWORD start = GetTickCount();
    auto filled = [&] {
        items = dialog.Items(IDC_SERVICE_COMBO);
        const bool looking = !items.empty() && items[0].rfind("looking", 0) == 0;
        // The PAT lists the services by number first; the SDT names them later.
        const bool named = std::any_of(items.begin(), items.end(), [](const std::string& item) {
            return item.find(" (") != std::string::npos;
        });
        // Names take the SDT's repetition time: wait for them, or for what
        // the list says instead.
        return !items.empty() && !looking && (named || items[0].rfind("no ", 0) == 0);
    };
    while (!filled() && GetTickCount() - start < 10000) Sleep(50);
    // The PAT's and the SDT's sections come apart: the list is what it
    // shows once it has stayed the same for a second.
    for (std::vector<std::string> before; before != items && GetTickCount() - start < 10000;) {
        before = items;
        Sleep(1000);
        (void)filled();
    }
    std::string shown;
    for (const std::string& item : items) shown += (shown.empty() ? "" : " | ") + item;
    std::printf("dialog_services %s\n", shown.empty() ? "none" : shown.c_str());
    std::fflush(stdout);
    if (options.serviceName.empty()) return "";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].rfind(options.serviceName + " (", 0) != 0) continue;
        dialog.Choose(IDC_SERVICE_COMBO, static_cast<int>(i));
        return "";
    }
    return "no service named \"" + options.serviceName + "\" in the list";
}

// Prints the path and PID the dialog holds: after Start, the file the
// module records into (a Start names a built name after the PID it records).
void PrintRecording(const DialogDriver& dialog, const char* key = "recording_path") {
    std::string path = dialog.TextUtf8(IDC_DIRECTORY_EDIT);
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += dialog.TextUtf8(IDC_FILE_NAME_EDIT);
    std::printf("%s %s\n", key, path.c_str());
    if (std::strcmp(key, "recording_path") != 0) return;
    std::printf("recording_pid %s\n", dialog.Text(IDC_PID_EDIT).c_str());
    std::fflush(stdout);
}

// Runs on a helper thread while the dialog is modal on the main thread:
// types the fields, presses Start, waits, stops and closes. Returns what went
// wrong, or nothing.
std::string DriveDialog(const Options& options, const SimulatedHost& host) {
    HWND window = FindOptionsDialog(10000);
    if (window == nullptr) return "the options dialog did not appear";
    const DialogDriver dialog(window);
    FillInDialog(options, dialog);
    const std::string notListed = ShowServices(options, dialog);
    if (!notListed.empty()) {
        dialog.Press(IDC_CLOSE_BUTTON);
        return notListed;
    }
    dialog.Press(IDC_START_BUTTON);
    PrintRecording(dialog);
    if (!dialog.Enabled(IDC_STOP_BUTTON)) {
        const std::string why = dialog.Text(IDC_STATUS_TEXT);
        std::printf("dialog_status %s\n", why.c_str());
        std::fflush(stdout);
        dialog.Press(IDC_CLOSE_BUTTON);
        return "the recording did not start: " + (why.empty() ? "could the file be created?" : why);
    }
    std::string report;
    if (options.stopAfterMs >= 0) {
        Sleep(static_cast<DWORD>(options.stopAfterMs));
    } else if (!host.WaitForDeliveryEnd(600000)) {
        report = "the delivery did not end within 10 minutes";
    }
    // What the status line says while recording (empty: nothing is wrong).
    std::printf("dialog_status %s\n", dialog.Text(IDC_STATUS_TEXT).c_str());
    // What a service's SI says is on (UTF-8).
    std::printf("dialog_programme %s\n", dialog.TextUtf8(IDC_PROGRAMME_TEXT).c_str());
    if (options.stopBy == "dialog") dialog.Press(IDC_STOP_BUTTON);
    std::printf("dialog_size %s\n", dialog.Text(IDC_SIZE_EDIT).c_str());
    std::printf("dialog_time %s\n", dialog.Text(IDC_TIME_EDIT).c_str());
    // Where the file is now: a service's built name follows its guide.
    PrintRecording(dialog, "recorded_path");
    dialog.Press(IDC_CLOSE_BUTTON);
    return report;
}

// The options dialog: for a person, or driven to record. Returns the exit code.
// --fill-only on a helper thread while the dialog is modal: types the
// fields, lists the services, plays a channel change, shows it, closes it
// the way --close-by asks. Returns what went wrong, or nothing.
std::string FillOnly(const Options& options, const ModuleExports& exports) {
    HWND window = FindOptionsDialog(10000);
    if (window == nullptr) return "the options dialog did not appear";
    const DialogDriver dialog(window);
    FillInDialog(options, dialog);
    const std::string report = ShowServices(options, dialog);
    if (options.channelChangeMs >= 0) {
        Sleep(static_cast<DWORD>(options.channelChangeMs));
        exports.setChannel(options.haveChannel ? &options.channel : nullptr);
        Options again;
        again.listServices = true;
        (void)ShowServices(again, dialog);  // the list, filled again
    }
    if (options.dropDown) {
        SendMessageW(GetDlgItem(window, IDC_SERVICE_COMBO), CB_SHOWDROPDOWN, TRUE, 0);
    }
    Sleep(static_cast<DWORD>(options.fillOnlyMs));
    std::printf("dialog_pid %s\ndialog_file_name %s\n", dialog.Text(IDC_PID_EDIT).c_str(),
                dialog.Text(IDC_FILE_NAME_EDIT).c_str());
    std::fflush(stdout);
    if (options.closeBy == "escape") {
        dialog.Key(IDC_PID_EDIT, VK_ESCAPE);  // the dialog manager makes it a Cancel
    } else if (options.closeBy == "frame") {
        dialog.CloseFrame();  // the title bar's close box
    } else {
        dialog.Press(IDC_CLOSE_BUTTON);
    }
    return report;
}

int RunDialog(const Options& options, const ModuleExports& exports, const SimulatedHost& host) {
    if (options.interactive) {
        exports.showOptionsDialog();
        return 0;
    }
    if (options.fillOnlyMs < 0 && !options.record) return 0;
    std::string report;
    std::thread driver(
        [&] { report = options.record ? DriveDialog(options, host) : FillOnly(options, exports); });
    exports.showOptionsDialog();
    driver.join();
    return report.empty() ? 0 : Fail(report);
}

// Ends the recording the way --stop-by asks. Returns true when the library
// was freed.
bool StopAsAsked(const Options& options, const ModuleExports& exports,
                 corvanlet::platform::UniqueLibrary& module) {
    if (options.stopBy == "module-stop") {
        exports.stop();
    } else if (options.stopBy == "set-channel") {
        exports.setChannel(options.haveChannel ? &options.channel : nullptr);
    } else if (options.stopBy == "unload") {
        module.Reset();  // no Module_Stop: the library must stop the recording itself
        return true;
    } else if (options.stopBy == "exit") {
        // The process ends with the recording running and the host delivering:
        // the system kills every other thread wherever it stands, then lets
        // the library know.
        std::fflush(stdout);
        ExitProcess(0);
    }
    return false;
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

// One "key P,P,..." line, with decimal PIDs, or "key none".
void PrintPids(const char* key, const std::vector<std::uint16_t>& pids) {
    std::string text;
    for (const std::uint16_t pid : pids) {
        if (!text.empty()) text += ',';
        text += std::to_string(pid);
    }
    std::printf("%s %s\n", key, text.empty() ? "none" : text.c_str());
}

// What the module asked of the host and what reached its callback.
void Report(const Options& options, const SimulatedHost& host) {
    const auto delivered = host.Delivered();
    std::printf("registrations %u\nremovals %u\n", host.AddMessages(), host.RemoveMessages());
    PrintPids("registered_pids", host.AcceptedPids());
    PrintPids("refused_pids", host.RefusedPids());
    std::printf("delivered_blocks %llu\ndelivered_bytes %llu\ndelivered_fnv1a64 %016llx\n",
                static_cast<unsigned long long>(delivered.blocks),
                static_cast<unsigned long long>(delivered.bytes),
                static_cast<unsigned long long>(delivered.checksum));
    // A registration after a delivery ended starts the stream again: what
    // every delivery sent, the browse's too.
    const auto inAll = host.DeliveredInAll();
    std::printf("deliveries %u\ndelivered_total_blocks %llu\ndelivered_total_bytes %llu\n",
                host.Deliveries(), static_cast<unsigned long long>(inAll.blocks),
                static_cast<unsigned long long>(inAll.bytes));
    if (host.DeliverySeconds() > 0) {
        std::printf("delivery_MBps %.3f\n", delivered.bytes / host.DeliverySeconds() / 1e6);
    }
    if (options.timing) PrintTiming(host.CallbackNs());
    if (options.callAfterRemovalMs != 0) {
        Sleep(options.callAfterRemovalMs + 50);
        std::printf("calls_after_removal %llu\n",
                    static_cast<unsigned long long>(host.CallsAfterRemoval()));
    }
}

}  // namespace

// The host's life: load, handshake, channel, start, deliver (through the
// dialog), stop, report; the library is freed on the way out.
int main(int, char**) {
    // The arguments in UTF-8 from the wide command line: a directory or a
    // name in any script reaches the dialog as typed.
    int argc = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> utf8;
    for (int i = 0; wide != nullptr && i < argc; ++i) {
        char text[8192] = {};
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text, sizeof text, nullptr, nullptr);
        utf8.emplace_back(text);
    }
    LocalFree(wide);
    std::vector<char*> argv;
    for (std::string& arg : utf8) argv.push_back(arg.data());
    Options options;
    if (const int code = ParseArguments(argc, argv.data(), options); code != 0) return code;
    if (!options.makeTs.empty()) return WriteTestStream(options);
    std::vector<std::uint8_t> stream;
    if (const int code = LoadStream(options, stream); code != 0) return code;

    corvanlet::platform::UniqueLibrary module;
    ModuleExports exports;
    if (const int code = WriteSettings(options); code != 0) return code;
    if (const int code = LoadModule(options.module, module, exports); code != 0) return code;
    SimulatedHost host;
    if (const int code = CreateHost(options, std::move(stream), host); code != 0) return code;
    if (const int code = Handshake(exports, host, options.id); code != 0) return code;

    exports.start();
    if (options.haveChannel) exports.setChannel(&options.channel);
    const int status = RunDialog(options, exports, host);
    const bool unloaded = StopAsAsked(options, exports, module);
    Report(options, host);
    if (!unloaded) exports.stop();
    std::fflush(stdout);
    return status;
}
