// End to end: tools/hostsim loads the built module in its own process and
// delivers real and synthetic transport streams; every recording is compared
// with an extraction of the PID written here, independently of hostsim.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/module_harness.h"
#include "simulated_host.h"
#include "support/temp_dir.h"
#include "transport_stream.h"

namespace corvanlet {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WindowsPath;

const std::string kHostsim = WindowsPath(CORVANLET_HOSTSIM_FILE);
const std::string kSamples = WindowsPath(CORVANLET_SAMPLES_DIR);
const std::string kNoExports = WindowsPath(CORVANLET_NO_EXPORTS_FILE);

struct HostsimRun {
    bool hung = false;  // did not end within the time allowed, and was ended
    DWORD exitCode = 0xFFFFFFFF;
    std::map<std::string, std::string> values;  // "key value" lines of its output
    std::string output;
    std::string errors;
};

// What `process` writes to `pipe`, until it has ended and the pipe is
// drained. Not until every write end is closed: a process the child started
// (wine starts its desktop's explorer from the first program with a window)
// may hold an inherited one for ever.
std::string ReadPipe(HANDLE pipe, HANDLE process) {
    std::string text;
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;  // closed
        if (available == 0) {
            if (WaitForSingleObject(process, 10) != WAIT_OBJECT_0) continue;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
                break;  // ended, and nothing more came
            }
        }
        DWORD count = 0;
        if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &count, nullptr)) {
            break;
        }
        text.append(buffer, count);
    }
    return text;
}

HostsimRun Hostsim(const std::vector<std::string>& args, DWORD timeoutMs = 120000) {
    std::string command = "\"" + kHostsim + "\"";
    for (const auto& arg : args) command += " \"" + arg + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE pipe[4] = {};  // read and write ends of standard output, then of errors
    CreatePipe(&pipe[0], &pipe[1], &inherit, 0);
    CreatePipe(&pipe[2], &pipe[3], &inherit, 0);
    platform::UniqueHandle outRead(pipe[0]), outWrite(pipe[1]), errRead(pipe[2]), errWrite(pipe[3]);
    SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION started{};
    HostsimRun run;
    // The arguments are UTF-8: a directory in any script reaches hostsim whole.
    std::vector<wchar_t> line(command.size() + 1);
    MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, line.data(),
                        static_cast<int>(line.size()));
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
        run.errors = "cannot start " + kHostsim;
        return run;
    }
    const platform::UniqueHandle process(started.hProcess), thread(started.hThread);
    outWrite.Reset();  // the child's ends: reading ends when the child does
    errWrite.Reset();
    // A hostsim that hangs is ended, which also ends the pipes' reading.
    std::thread watchdog([&] {
        if (WaitForSingleObject(process.Get(), timeoutMs) == WAIT_TIMEOUT) {
            run.hung = true;
            TerminateProcess(process.Get(), 0xDEAD);
        }
    });
    std::string errors;
    std::thread errorReader([&] { errors = ReadPipe(errRead.Get(), process.Get()); });
    run.output = ReadPipe(outRead.Get(), process.Get());
    errorReader.join();
    watchdog.join();
    run.errors = errors;
    GetExitCodeProcess(process.Get(), &run.exitCode);
    std::istringstream lines(run.output);
    std::string text;
    while (std::getline(lines, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const auto space = text.find(' ');
        if (space != std::string::npos) run.values[text.substr(0, space)] = text.substr(space + 1);
    }
    return run;
}

// The packets of `pid` in stream order, extracted here on its own terms.
std::vector<std::uint8_t> Extract(const std::vector<std::uint8_t>& stream, int pid) {
    std::vector<std::uint8_t> out;
    for (std::size_t at = 0; at + 188 <= stream.size(); at += 188) {
        if ((((stream[at + 1] & 0x1F) << 8) | stream[at + 2]) == pid) {
            out.insert(out.end(), stream.begin() + at, stream.begin() + at + 188);
        }
    }
    return out;
}

std::string Hex(std::uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

class HostsimTest : public ::testing::Test {
  protected:
    void SetUp() override { CopyFileA(testing::kModuleFile.c_str(), module_.c_str(), FALSE); }
    void WriteStream(const std::vector<std::uint8_t>& stream) const {
        std::ofstream(stream_, std::ios::binary)
            .write(reinterpret_cast<const char*>(stream.data()),
                   static_cast<std::streamsize>(stream.size()));
    }
    std::vector<std::string> Record(const std::string& ts, int pid, const std::string& name) const {
        return Record(ts, std::to_string(pid), name);
    }
    std::vector<std::string> Record(const std::string& ts, const std::string& pids,
                                    const std::string& name) const {
        return {"--module", module_,  "--ts", ts,      "--record",          "--pid",
                pids,       "--name", name,   "--dir", dir_.Path().string()};
    }
    std::string Log() const {
        const auto bytes = ReadFileBytes(dir_.File("Corvanlet.log"));
        return {bytes.begin(), bytes.end()};
    }

    TempDir dir_;
    std::string module_ = dir_.File("Corvanlet.Module");
    std::string stream_ = dir_.File("in.ts");
};

// "Ειδήσεις", program 2's title in the made stream, in UTF-8.
constexpr char kGreekNews[] = "\xCE\x95\xCE\xB9\xCE\xB4\xCE\xAE\xCF\x83\xCE\xB5\xCE\xB9\xCF\x82";

TEST_F(HostsimTest, ClearErrorsForBadInvocations) {
    HostsimRun run = Hostsim({});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.errors.find("--module is required"), std::string::npos) << run.errors;
    run = Hostsim({"--help"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_NE(run.output.find("Usage: hostsim"), std::string::npos);
    run = Hostsim({"--module", module_, "--stop-by", "sideways"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.errors.find("--stop-by takes dialog,"), std::string::npos) << run.errors;
    run = Hostsim({"--module", module_, "--rate"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.errors.find("--rate needs MB/s"), std::string::npos) << run.errors;
    run = Hostsim({"--module", dir_.File("missing.Module")});
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_NE(run.errors.find("cannot load module"), std::string::npos) << run.errors;
    run = Hostsim({"--module", kNoExports});
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_NE(run.errors.find("has no export Module_GetInfo"), std::string::npos) << run.errors;
    std::ofstream(stream_, std::ios::binary) << std::string(376, 'x');
    run = Hostsim({"--module", module_, "--ts", stream_});
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_NE(run.errors.find("is not a transport stream"), std::string::npos) << run.errors;
}

// A capture as real ones come, made from plain packets: each packet in a
// unit of `unit` bytes (192: a 4-byte timestamp first; 204: 16 parity bytes
// after), junk before the first one, junk where sync is lost after packet
// `lossAfter`, and a partial unit at the end.
struct Capture {
    std::size_t unit = 188;
    std::size_t leading = 0;
    std::size_t lossAfter = 0;
    std::size_t lossBytes = 0;
    std::size_t trailing = 0;
};

std::vector<std::uint8_t> Junk(std::size_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> junk(count);
    // Now and then a stray 0x47, as in real noise.
    for (std::size_t i = 0; i < count; ++i) junk[i] = static_cast<std::uint8_t>(seed + i * 37);
    return junk;
}

std::vector<std::uint8_t> MakeCapture(const std::vector<std::uint8_t>& packets, const Capture& c) {
    std::vector<std::uint8_t> out = Junk(c.leading, 1);
    for (std::size_t at = 0, n = 0; at < packets.size(); at += 188, ++n) {
        if (c.unit == 192) out.insert(out.end(), {0x12, 0x34, 0x56, static_cast<std::uint8_t>(n)});
        out.insert(out.end(), packets.begin() + at, packets.begin() + at + 188);
        if (c.unit == 204) out.insert(out.end(), 16, static_cast<std::uint8_t>(0xA0 + n % 16));
        if (n + 1 == c.lossAfter) {
            const auto junk = Junk(c.lossBytes, 2);
            out.insert(out.end(), junk.begin(), junk.end());
        }
    }
    const auto partial = Junk(c.trailing, 3);
    out.insert(out.end(), partial.begin(), partial.end());
    if (c.trailing > 0) out[out.size() - c.trailing + (c.unit == 192 ? 4 : 0)] = 0x47;
    return out;
}

TEST(PacketGrid, CapturesAsTheyComeGiveThePlainPackets) {
    const auto packets = hostsim::MakeTransportStream({0x100, 0x200, 0x1FFF}, 300);
    struct Case {
        const char* what;
        Capture capture;
        const char* described;
    };
    const Case cases[] = {
        {"clean",
         {188, 0, 0, 0, 0},
         "packet size 188; skipped 0 leading bytes, 0 bytes in 0 resyncs, no partial packet at the "
         "end"},
        {"leading junk and a cut end",
         {188, 77, 0, 0, 100},
         "packet size 188; skipped 77 leading bytes, 0 bytes in 0 resyncs, a 100-byte partial "
         "packet at the end"},
        {"sync lost in the middle",
         {188, 0, 150, 1000, 0},
         "packet size 188; skipped 0 leading bytes, 1000 bytes in 1 resyncs, no partial packet at "
         "the end"},
        {"M2TS",
         {192, 77, 0, 0, 100},
         "packet size 192; skipped 77 leading bytes, 0 bytes in 0 resyncs, a 100-byte partial "
         "packet at the end"},
        {"M2TS losing sync",
         {192, 3, 10, 500, 0},
         "packet size 192; skipped 3 leading bytes, 500 bytes in 1 resyncs, no partial packet at "
         "the end"},
        {"204 with parity",
         {204, 1, 290, 33, 150},
         "packet size 204; skipped 1 leading bytes, 33 bytes in 1 resyncs, a 150-byte partial "
         "packet at the end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> found;
        hostsim::PacketGrid grid;
        ASSERT_TRUE(hostsim::FindPackets(MakeCapture(packets, c.capture), found, grid));
        EXPECT_EQ(hostsim::Describe(grid), c.described);
        EXPECT_TRUE(found == packets);
    }

    // No grid at all: nothing, a JPEG's start, stray sync bytes off any stride.
    std::vector<std::uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'};
    jpeg.resize(5000, 0x00);
    for (std::size_t i = 10; i < jpeg.size(); i += 7) jpeg[i] = 0x47;  // off every stride
    for (const auto& notTs : {std::vector<std::uint8_t>{}, jpeg, Junk(100000, 4)}) {
        std::vector<std::uint8_t> found;
        hostsim::PacketGrid grid;
        EXPECT_FALSE(hostsim::FindPackets(notTs, found, grid));
        EXPECT_TRUE(found.empty());
    }
}

// The blocks the simulated host delivered to Collect, in order.
std::mutex gCollectedLock;
std::vector<std::vector<std::uint8_t>> gCollected;

void CORVANLET_CALL Collect(std::uint32_t, std::int32_t length, const std::uint8_t* data) {
    const std::lock_guard lock(gCollectedLock);
    gCollected.emplace_back(data, data + length);
}

std::uint16_t PidOf(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

std::size_t BlocksOf(std::uint16_t pid) {
    const std::lock_guard lock(gCollectedLock);
    std::size_t count = 0;
    for (const auto& block : gCollected) count += PidOf(block.data()) == pid ? 1 : 0;
    return count;
}

LRESULT Register(HWND host, FilterRegistration& registration, std::uint16_t pid) {
    registration = FilterRegistration{};
    registration.pid = pid;
    registration.callback =
        static_cast<CorvanletAddress>(reinterpret_cast<std::uintptr_t>(&Collect));
    return SendMessageA(host, CORVANLET_WM_FILTER, CORVANLET_ADD_FILTER,
                        reinterpret_cast<LPARAM>(&registration));
}

// The PAT and PMT sections of a --service stream carry good CRCs, and
// program 1's PMT goes from version 0 to 1.
void ExpectGoodTables(const std::vector<std::uint8_t>& stream) {
    using P = hostsim::ServicePids;
    EXPECT_EQ(hostsim::Crc32Mpeg2(reinterpret_cast<const std::uint8_t*>("123456789"), 9),
              0x0376E6E7u);
    std::vector<int> pmtVersions;
    for (std::size_t at = 0; at < stream.size(); at += 188) {
        const std::uint16_t pid = PidOf(&stream[at]);
        if (pid != P::kPat && pid != P::kPmt1 && pid != P::kPmt2) continue;
        const std::uint8_t* section = &stream[at + 5];
        const std::size_t length = 3 + (((section[1] & 0x0F) << 8) | section[2]);
        ASSERT_LE(5 + length, 188u);
        EXPECT_EQ(hostsim::Crc32Mpeg2(section, length), 0u) << "packet " << at / 188;
        const int version = (section[5] >> 1) & 0x1F;
        if (pid == P::kPmt1 && (pmtVersions.empty() || pmtVersions.back() != version)) {
            pmtVersions.push_back(version);
        }
    }
    EXPECT_EQ(pmtVersions, (std::vector<int>{0, 1}));
}

// The collected blocks: each of one PID, kAudio1 only before `atRemoval`,
// packets in stream order and as in the stream, a short block followed by
// one of its own PID only where a kAudio1 packet came between. Returns them
// joined, and the stream indexes of the audio packets.
std::vector<std::uint8_t> CheckCollected(const std::vector<std::uint8_t>& stream,
                                         std::size_t atRemoval, std::vector<std::uint32_t>& audio) {
    using P = hostsim::ServicePids;
    auto indexAt = [](const std::uint8_t* packet) {
        std::uint32_t index = 0;
        std::memcpy(&index, packet + 4, 4);
        return index;
    };
    std::vector<std::uint8_t> all;
    std::int64_t last = -1;
    for (std::size_t b = 0; b < gCollected.size(); ++b) {
        const auto& block = gCollected[b];
        EXPECT_TRUE(!block.empty() && block.size() % 188 == 0 && block.size() <= 5 * 188);
        const std::uint16_t pid = PidOf(block.data());
        EXPECT_TRUE(pid == P::kVideo1 || (pid == P::kAudio1 && b < atRemoval)) << "block " << b;
        for (std::size_t at = 0; at < block.size(); at += 188) {
            const std::uint32_t index = indexAt(&block[at]);
            EXPECT_EQ(PidOf(&block[at]), pid) << "block " << b << " mixes PIDs";
            EXPECT_GT(static_cast<std::int64_t>(index), last) << "out of stream order";
            EXPECT_EQ(std::memcmp(&block[at], &stream[index * 188ull], 188), 0);
            if (pid == P::kAudio1) audio.push_back(index);
            last = index;
        }
        if (b + 1 < gCollected.size() && block.size() < 5 * 188 &&
            PidOf(gCollected[b + 1].data()) == pid) {
            bool between = false;
            for (auto i = static_cast<std::uint32_t>(last) + 1;
                 i < indexAt(gCollected[b + 1].data()); ++i) {
                between = between || PidOf(&stream[i * 188ull]) == P::kAudio1;
            }
            EXPECT_TRUE(between) << "block " << b << " ended early";
        }
        all.insert(all.end(), block.begin(), block.end());
    }
    return all;
}

// Several registrations through the simulated host alone, on the --service
// stream: one delivery in stream order, each block of one PID, a
// registration past the limit refused, and a removed PID delivered no more
// once its removal returned.
TEST(SimulatedHost, SeveralRegistrationsShareOneDeliveryInStreamOrder) {
    using P = hostsim::ServicePids;
    const auto stream = hostsim::MakeServiceStream(4000);
    ExpectGoodTables(stream);
    gCollected.clear();
    hostsim::SimulatedHost host;
    ASSERT_TRUE(host.Create());
    host.SetStream(stream);
    host.SetRateMBps(0.5);  // about 0.7 s: the removal comes mid-stream
    host.SetMaxFilters(2);
    FilterRegistration video{}, audio{}, refused{};
    ASSERT_NE(Register(host.Window(), video, P::kVideo1), 0);
    ASSERT_NE(Register(host.Window(), audio, P::kAudio1), 0);
    EXPECT_EQ(Register(host.Window(), refused, P::kVideo2), 0);
    EXPECT_NE(video.hostHandle, audio.hostHandle);
    EXPECT_EQ(host.RegisteredPids(), (std::vector<std::uint16_t>{P::kVideo1, P::kAudio1}));
    EXPECT_EQ(host.RefusedPids(), (std::vector<std::uint16_t>{P::kVideo2}));
    const DWORD start = GetTickCount();
    while (BlocksOf(P::kAudio1) < 10) {
        ASSERT_LT(GetTickCount() - start, 10000u) << "no audio delivered";
        Sleep(1);
    }
    SendMessageA(host.Window(), CORVANLET_WM_FILTER, CORVANLET_REMOVE_FILTER,
                 static_cast<LPARAM>(audio.hostHandle));
    const std::size_t atRemoval = BlocksOf(P::kVideo1) + BlocksOf(P::kAudio1);
    EXPECT_EQ(host.RegisteredPids(), (std::vector<std::uint16_t>{P::kVideo1}));
    ASSERT_TRUE(host.WaitForDeliveryEnd(30000));
    SendMessageA(host.Window(), CORVANLET_WM_FILTER, CORVANLET_REMOVE_FILTER,
                 static_cast<LPARAM>(video.hostHandle));
    EXPECT_TRUE(host.RegisteredPids().empty());
    EXPECT_EQ(host.RemoveMessages(), 2u);

    const std::lock_guard lock(gCollectedLock);
    std::vector<std::uint32_t> audioIndexes;
    const auto all = CheckCollected(stream, atRemoval, audioIndexes);
    // The video whole; the audio a gapless run that stopped well before the end.
    const auto videoBytes = Extract(stream, P::kVideo1).size();
    EXPECT_EQ(all.size() - audioIndexes.size() * 188, videoBytes);
    ASSERT_FALSE(audioIndexes.empty());
    EXPECT_LT(audioIndexes.size() * 188, Extract(stream, P::kAudio1).size() / 2);
    for (std::size_t i = 1; i < audioIndexes.size(); ++i) {
        for (auto at = audioIndexes[i - 1] + 1; at < audioIndexes[i]; ++at) {
            ASSERT_NE(PidOf(&stream[at * 188ull]), P::kAudio1) << "audio packet " << at << " lost";
        }
    }
    const auto delivered = host.Delivered();
    EXPECT_EQ(delivered.blocks, gCollected.size());
    EXPECT_EQ(delivered.bytes, all.size());
    EXPECT_EQ(delivered.checksum, hostsim::Fnv1a(all.data(), all.size()));
    EXPECT_EQ(host.DeliveredPerPid(P::kVideo1).bytes, videoBytes);
}

// Several PIDs into one file: what an extraction of those PIDs gives, in
// stream order; a host that takes only the first records that one and says so.
TEST_F(HostsimTest, AListOfPidsRecordsThemInStreamOrderAndARefusalIsShown) {
    const auto stream = hostsim::MakeTransportStream({0x100, 0x200, 0x300}, 6000);
    WriteStream(stream);
    std::vector<std::uint8_t> expected;
    for (std::size_t at = 0; at < stream.size(); at += 188) {
        if (PidOf(&stream[at]) != 0x200)
            expected.insert(expected.end(), &stream[at], &stream[at] + 188);
    }
    HostsimRun run = Hostsim(Record(stream_, "0x300, 256", "list.dat"));
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    // The dialog's look at the services first (PAT and SDT), then the list.
    EXPECT_EQ(run.values.at("registered_pids"), "0,17,768,256");
    EXPECT_EQ(run.values.at("removals"), "4");
    EXPECT_TRUE(ReadFileBytes(dir_.File("list.dat")) == expected);

    auto args = Record(stream_, "256 768", "refused.dat");
    args.insert(args.end(), {"--max-filters", "1"});
    run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("refused_pids"), "17,768");
    EXPECT_EQ(run.values.at("dialog_status"), "PID 768 refused");
    EXPECT_EQ(run.values.at("removals"), "2");
    EXPECT_TRUE(ReadFileBytes(dir_.File("refused.dat")) == Extract(stream, 0x100));
    EXPECT_NE(Log().find(" pids=256 refused=768"), std::string::npos) << Log();
}

// The sections of the PSI packet at `packet` (one section, as the module
// writes them): its CRC holds, and for a PMT, the streams it lists and
// whether any CA descriptor is left.
struct Table {
    int tableId = -1;
    int version = -1;
    std::vector<int> pids;  // PAT: the PMT PIDs; PMT: the stream PIDs
    bool caDescriptor = false;
};
Table ReadTable(const std::uint8_t* packet) {
    Table table;
    // A part's first tables carry an adaptation field (their counter jumps).
    const int payload = (packet[3] & 0x20) != 0 ? 5 + packet[4] : 4;
    const std::uint8_t* s = packet + payload + 1 + packet[payload];
    const int length = 3 + (((s[1] & 0x0F) << 8) | s[2]);
    if (hostsim::Crc32Mpeg2(s, static_cast<std::size_t>(length)) != 0) return table;
    table.tableId = s[0];
    table.version = (s[5] >> 1) & 0x1F;
    if (s[0] == 0) {
        for (int at = 8; at + 4 <= length - 4; at += 4)
            table.pids.push_back(((s[at + 2] & 0x1F) << 8) | s[at + 3]);
        return table;
    }
    auto scan = [&](int from, int to) {
        for (int at = from; at + 2 <= to; at += 2 + s[at + 1]) table.caDescriptor |= s[at] == 0x09;
    };
    const int programInfo = ((s[10] & 0x0F) << 8) | s[11];
    scan(12, 12 + programInfo);
    for (int at = 12 + programInfo; at + 5 <= length - 4;) {
        table.pids.push_back(((s[at + 1] & 0x1F) << 8) | s[at + 2]);
        const int info = ((s[at + 3] & 0x0F) << 8) | s[at + 4];
        scan(at + 5, at + 5 + info);
        at += 5 + info;
    }
    return table;
}

// The first section of an SI packet (SDT or EIT) that checks: its table,
// its table_id_extension (an EIT's service) and, of an SDT, the services it
// lists. tableId -1 when it does not check.
struct SiSection {
    int tableId = -1;
    int extension = -1;
    std::vector<int> services;
};
SiSection ReadSi(const std::uint8_t* packet) {
    SiSection si;
    const int payload = (packet[3] & 0x20) != 0 ? 5 + packet[4] : 4;
    const std::uint8_t* s = packet + payload + 1 + packet[payload];
    const int length = 3 + (((s[1] & 0x0F) << 8) | s[2]);
    if (s + length > packet + 188 || hostsim::Crc32Mpeg2(s, static_cast<std::size_t>(length)) != 0)
        return si;
    si.tableId = s[0];
    si.extension = (s[3] << 8) | s[4];
    if (s[0] != 0x42) return si;
    for (int at = 11; at + 5 <= length - 4; at += 5 + (((s[at + 3] & 0x0F) << 8) | s[at + 4]))
        si.services.push_back((s[at] << 8) | s[at + 1]);
    return si;
}

// A whole service through the real module: its own tables first in every
// part (PAT, PMT, SDT, EIT), the kept streams and its own SI only, the PMT's
// new version followed in the file, and what is on in the log and dialog.
TEST_F(HostsimTest, AServiceRecordsAFileThatBeginsEveryPartWithItsTables) {
    using P = hostsim::ServicePids;
    const auto stream = hostsim::MakeServiceStream(16000);  // 3 MB
    WriteStream(stream);
    WritePrivateProfileStringA("Corvanlet", "SplitMB", "1", dir_.File("Options.ini").c_str());
    auto args = Record(stream_, "SID=1", "service.ts");
    args.insert(args.end(), {"--stream-rate", "2"});  // 1.5 s, as a tuner would
    const HostsimRun run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("dialog_status"), "");
    std::vector<std::uint8_t> joined;
    EXPECT_EQ(GetFileAttributesA(dir_.File("service-3.ts").c_str()), INVALID_FILE_ATTRIBUTES);
    for (const char* name : {"service.ts", "service-2.ts"}) {
        SCOPED_TRACE(name);
        const auto part = ReadFileBytes(dir_.File(name));
        ASSERT_GE(part.size(), 100u * 188);
        const Table pat = ReadTable(&part[0]);
        EXPECT_EQ(pat.tableId, 0);
        EXPECT_EQ(pat.pids, std::vector<int>{P::kPmt1});
        EXPECT_EQ(ReadTable(&part[188]).tableId, 2);
        // Then the SDT and the EIT present and following, so that the part
        // shows its channel and programme alone. (The first part begins
        // with the first PMT, and with what of them came before it; the
        // rest follow as the source sends them.)
        std::size_t at = 2 * 188;
        while (at < part.size() && PidOf(&part[at]) == P::kPmt1) at += 188;
        ASSERT_LE(at + 3 * 188, part.size());
        if (std::string(name) != "service.ts") {
            EXPECT_EQ(ReadSi(&part[at]).tableId, 0x42);
            EXPECT_EQ(ReadSi(&part[at + 188]).tableId, 0x4E);
            EXPECT_EQ(ReadSi(&part[at + 2 * 188]).tableId, 0x4E);
        } else {
            std::set<int> tables;
            for (std::size_t p = 0; p < 300 * 188 && p < part.size(); p += 188) {
                if (PidOf(&part[p]) == P::kSdt || PidOf(&part[p]) == P::kEit)
                    tables.insert(ReadSi(&part[p]).tableId);
            }
            EXPECT_EQ(tables, (std::set<int>{0x42, 0x4E}));
        }
        joined.insert(joined.end(), part.begin(), part.end());
    }
    std::vector<int> versions;
    std::map<int, std::size_t> packets;
    for (std::size_t at = 0; at < joined.size(); at += 188) {
        const int pid = PidOf(&joined[at]);
        ++packets[pid];
        if (pid == P::kSdt || pid == P::kEit) {
            // Only the recorded service's own: an SDT listing it alone, its
            // own events (the stream has program 2's in between).
            const SiSection si = ReadSi(&joined[at]);
            EXPECT_TRUE(pid == P::kSdt ? si.tableId == 0x42 && si.services == std::vector<int>{1}
                                       : si.tableId == 0x4E && si.extension == 1)
                << "packet " << at / 188 << " table " << si.tableId;
        }
        if (pid != P::kPmt1) continue;
        const Table pmt = ReadTable(&joined[at]);
        EXPECT_FALSE(pmt.caDescriptor);
        if (versions.empty() || versions.back() != pmt.version) versions.push_back(pmt.version);
        std::vector<int> kept = {P::kVideo1, P::kAudio1};
        if (pmt.version == 1) kept.push_back(P::kAudio1b);
        EXPECT_EQ(pmt.pids, kept);
    }
    EXPECT_EQ(versions, (std::vector<int>{0, 1}));
    for (int pid : {int{P::kData1}, int{P::kEcm}, int{P::kPmt2}, int{P::kVideo2}})
        EXPECT_EQ(packets.count(pid), 0u) << pid;
    // Every kept stream's packets from where the recording took them on.
    for (int pid : {int{P::kVideo1}, int{P::kAudio1b}}) {
        const auto all = Extract(stream, pid);
        const auto kept = Extract(joined, pid);
        ASSERT_FALSE(kept.empty()) << pid;
        EXPECT_TRUE(std::equal(kept.rbegin(), kept.rend(), all.rbegin())) << pid;
    }
    const std::string log = Log();
    EXPECT_NE(log.find("tables pmt_pid=256 version=0 sid=1 pids=0,256,17,18,20,257,258,511"),
              std::string::npos)
        << log;
    EXPECT_GT(packets[P::kTdt], 0u) << "the time passes into the file";
    EXPECT_NE(log.find("service at=00:00:0"), std::string::npos) << log;
    EXPECT_NE(log.find(" name=\"Corvanlet One\" provider=\"Corvanlet\" type=tv scrambled"),
              std::string::npos)
        << log;
    // The programme that was on at Start, and the one that began during
    // the recording, each with the time into the recording it began at.
    const std::size_t news = log.find(" id=101 start=2026-12-");
    const std::size_t film = log.find(" id=102 start=2026-12-");
    EXPECT_NE(news, std::string::npos) << log;
    ASSERT_NE(film, std::string::npos) << log;
    EXPECT_LT(news, film);
    EXPECT_NE(log.find(" duration=00:30 title=\"The film\"", film), std::string::npos) << log;
    EXPECT_EQ(log.find("guide absent="), std::string::npos) << log;
    // The dialog follows the guide once a second: either programme, by the
    // time the delivery ends.
    const std::string& programme = run.values.at("dialog_programme");
    const std::string shown = "Corvanlet One (scrambled) \xC2\xB7 ";
    EXPECT_TRUE(programme.rfind(shown + "The film, ", 0) == 0 ||
                programme.rfind(shown + "Morning news, ", 0) == 0)
        << programme;
    EXPECT_NE(log.find("pmt-change pmt_pid=256 version=1"), std::string::npos) << log;
    EXPECT_NE(log.find("dropped pid=259 type=0x05 reason=not-programme"), std::string::npos) << log;
    EXPECT_NE(log.find(" streams=0:"), std::string::npos) << log;
    EXPECT_NE(log.find(" sid=1\r\n"), std::string::npos) << "its stop line names it: " << log;
}

// A title in another table than the default reaches the log and the dialog
// as the broadcaster meant it: program 2's is Greek, in ISO/IEC 8859-7.
TEST_F(HostsimTest, AServicesGreekTitleReachesTheLogAndTheDialogIntact) {
    WriteStream(hostsim::MakeServiceStream(8000));
    auto args = Record(stream_, "sid 2", "greek.ts");
    // Seconds past the delivery's end, for the dialog's once-a-second look.
    args.insert(args.end(), {"--stream-rate", "2", "--stop-after", "3000"});
    const HostsimRun run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    const std::string greek = kGreekNews;
    const std::string log = Log();
    EXPECT_NE(log.find("event at=00:00:0"), std::string::npos) << log;
    EXPECT_NE(log.find("id=201 start=2026-12-"), std::string::npos) << log;
    EXPECT_NE(log.find(" title=\"" + greek + "\""), std::string::npos) << log;
    EXPECT_NE(log.find(" name=\"Corvanlet Two\" provider=\"Corvanlet\" type=tv\r"),
              std::string::npos)
        << log;
    EXPECT_EQ(run.values.at("dialog_programme").rfind("Corvanlet Two \xC2\xB7 " + greek + ", ", 0),
              0u)
        << run.values.at("dialog_programme");
}

// A user picks a service by name: the dialog lists the transponder's
// services (the PAT's, named by the SDT, a scrambled one marked, one the SDT
// does not name by its number), the pick writes its sid into the PID field
// and the built file name follows, and the recording is that service's. The
// browse's two registrations end when Start begins the recording's. Once
// the guide has named the service and its programme (a Greek title), the
// file is named after them.
TEST_F(HostsimTest, AServicePickedByNameRecordsWithNoNumberTyped) {
    WriteStream(hostsim::MakeServiceStream(8000));
    const HostsimRun run = Hostsim({"--module", module_, "--ts", stream_, "--record", "--dir",
                                    dir_.Path().string(), "--channel", "11362,H,22000",
                                    "--stream-rate", "2", "--service-name", "Corvanlet Two"});
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("dialog_services"),
              "Corvanlet One (1) TV scrambled | Corvanlet Two (2) TV | service 3");
    EXPECT_EQ(run.values.at("recording_pid"), "sid 2");
    const std::string file = "11362-H-22000 - sid2.ts";
    EXPECT_EQ(run.values.at("recording_path"), dir_.Path().string() + "\\" + file);
    const std::string registered = run.values.at("registered_pids");
    EXPECT_EQ(registered.rfind("0,17,0,", 0), 0u) << registered;  // the browse, then the service
    EXPECT_EQ(run.values.at("registrations"), run.values.at("removals"));
    const std::string named = run.values.at("recorded_path");
    const std::string stem = dir_.Path().string() + "\\Corvanlet Two - " + kGreekNews + " - 20";
    EXPECT_EQ(named.rfind(stem, 0), 0u) << named;  // then the date and time of the start
    EXPECT_EQ(named.substr(named.size() - 3), ".ts") << named;
    EXPECT_NE(Log().find("name file=\"" + named + "\"\r\n"), std::string::npos) << Log();
    EXPECT_TRUE(ReadFileBytes(dir_.File(file)).empty()) << "the file was renamed, not copied";
    const auto recorded = ReadFileBytes(testing::Utf8Path(named));
    ASSERT_GE(recorded.size(), 10u * 188);
    EXPECT_EQ(ReadTable(&recorded[0]).pids, std::vector<int>{hostsim::ServicePids::kPmt2});
}

// The name from the guide takes the form NameTemplate gives, and " (2)"
// where another file has that name. A service whose tables name nothing
// within 10 s keeps the built name, and the log says why.
TEST_F(HostsimTest, AGuideNameFollowsTheTemplateAndNeverTakesAnotherFilesName) {
    WriteStream(hostsim::MakeServiceStream(8000));
    const std::filesystem::path taken = testing::Utf8Path(dir_.File("2 ") + kGreekNews + ".ts");
    { std::ofstream(taken) << "someone else's"; }
    const std::vector<std::string> base = {
        "--module",           module_,     "--ts",         stream_, "--record", "--dir",
        dir_.Path().string(), "--channel", "11362,H,22000"};
    std::vector<std::string> args = base;
    args.insert(args.end(), {"--pid", "sid 2", "--stream-rate", "0.5", "--set",
                             "NameTemplate=%sid% %title%.ts"});
    HostsimRun run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("recorded_path"), dir_.File("2 ") + kGreekNews + " (2).ts");
    EXPECT_EQ(ReadFileBytes(taken).size(), 14u) << "the other file is untouched";
    EXPECT_GE(ReadFileBytes(testing::Utf8Path(run.values.at("recorded_path"))).size(), 188u * 100);

    // A directory in another script: typed into the dialog, recorded into.
    const std::string greekDir = dir_.File(std::string("\xCE\x95\xCE\xA1\xCE\xA4"));  // "ΕΡΤ"
    std::filesystem::create_directory(testing::Utf8Path(greekDir));
    args = {"--module", module_, "--ts",   stream_,        "--record",      "--dir", greekDir,
            "--pid",    "sid 2", "--name", "greek dir.ts", "--stream-rate", "2"};
    run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("recorded_path"), greekDir + "\\greek dir.ts");
    EXPECT_GE(ReadFileBytes(testing::Utf8Path(greekDir + "\\greek dir.ts")).size(), 188u * 100);

    // Program 3's PMT never comes, and the SDT does not name it.
    args = base;
    args.insert(args.end(), {"--pid", "sid 3", "--stream-rate", "0.12"});
    run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("recorded_path"), dir_.File("11362-H-22000 - sid3.ts"));
    EXPECT_NE(Log().find("name kept file=\"" + dir_.File("11362-H-22000 - sid3.ts") +
                         "\" reason=no-guide\r\n"),
              std::string::npos)
        << Log();
}

// Every way out of the dialog ends the browse: each add message has its
// remove message. A channel change while it is open lists the new
// transponder's services afresh. A host that refuses, and a transponder
// without names, say so in the list.
TEST_F(HostsimTest, TheServiceListEndsItsRegistrationsOnEveryWayOutOfTheDialog) {
    WriteStream(hostsim::MakeServiceStream(8000));
    const std::string both = "Corvanlet One (1) TV scrambled | Corvanlet Two (2) TV | service 3";
    for (const char* way : {"close", "escape", "frame"}) {
        SCOPED_TRACE(way);
        const HostsimRun run =
            Hostsim({"--module", module_, "--ts", stream_, "--fill-only", "200", "--list-services",
                     "--close-by", way, "--stream-rate", "2"});
        ASSERT_EQ(run.exitCode, 0u) << run.errors;
        EXPECT_EQ(run.values.at("dialog_services"), both);
        EXPECT_EQ(run.values.at("registrations"), "2");
        EXPECT_EQ(run.values.at("removals"), "2");
    }
    HostsimRun run =
        Hostsim({"--module", module_, "--ts", stream_, "--fill-only", "200", "--list-services",
                 "--stream-rate", "2", "--channel", "11362,H,22000", "--channel-change-at", "100"});
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("registrations"), "4") << "the browse began again";
    EXPECT_EQ(run.values.at("removals"), "4");
    EXPECT_EQ(run.values.at("dialog_services"), both);

    run = Hostsim(
        {"--module", module_, "--ts", stream_, "--fill-only", "0", "--list-services", "--refuse"});
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("dialog_services"), "no service list from the host");
    EXPECT_EQ(run.values.at("registered_pids"), "none");

    WriteStream(hostsim::MakeTransportStream({0x100, 0x200}, 4000));
    run = Hostsim({"--module", module_, "--ts", stream_, "--fill-only", "0", "--list-services",
                   "--stream-rate", "1"});
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.values.at("dialog_services"), "no names on this transponder");
    EXPECT_EQ(run.values.at("registrations"), run.values.at("removals"));
}

// StopAtProgrammeEnd: the recording of the programme on at Start ends
// when the guide names the next one present (no padding here), as at a
// limit, and the stop line says which programme and when it was announced
// to end. The stream changes programme three quarters through, 11 s in.
TEST_F(HostsimTest, ARecordingStopsWhenItsProgrammeEnds) {
    WriteStream(hostsim::MakeServiceStream(80000));
    const std::string ini = dir_.File("Options.ini");
    WritePrivateProfileStringA("Corvanlet", "StopAtProgrammeEnd", "1", ini.c_str());
    WritePrivateProfileStringA("Corvanlet", "PaddingMinutes", "0", ini.c_str());
    auto args = Record(stream_, "sid 1", "programme.ts");
    args.insert(args.end(), {"--stream-rate", "1"});
    const HostsimRun run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    const std::string log = Log();
    const std::size_t stop = log.find(" stop pid=0 ");
    ASSERT_NE(stop, std::string::npos) << log;
    const std::string line = log.substr(stop, log.find('\n', stop) - stop);
    EXPECT_NE(line.find(" reason=programme-end "), std::string::npos) << line;
    EXPECT_NE(line.find(" programme=\"Morning news\" announced_end=2026-12-09T"), std::string::npos)
        << line;
    // Ended because the next programme came, on the stream's clock (the
    // made stream's guide is of another day than the PC's).
    EXPECT_EQ(line.find("actual_end=unknown"), std::string::npos) << line;
    EXPECT_LT(log.find(" id=102 "), stop) << log;
    // It ended before the stream did: less than the whole was recorded.
    const auto file = ReadFileBytes(dir_.File("programme.ts"));
    EXPECT_GT(file.size(), 1000000u);
    EXPECT_LT(file.size(), std::stoull(run.values.at("delivered_bytes")));
    char kept[8] = {};
    GetPrivateProfileStringA("Corvanlet", "StopAtProgrammeEnd", "", kept, sizeof kept, ini.c_str());
    EXPECT_STREQ(kept, "1") << "the check box is kept";
}

// SplitAtProgrammes: the programme change begins a second part, which
// begins with the tables (the PAT first). Joined, the parts are the same
// recording made whole: after its tables the second part is the whole
// one's end, byte for byte, and the first part's last megabyte the bytes
// before that. (Where the two recordings begin depends on when the host
// took each registration, so their first seconds may differ, and with them
// the counters of the tables the module makes: those are left out; so may
// the first packets of the PID the PMT adds halfway, which are left out of
// the first part's comparison.)
TEST_F(HostsimTest, ANewProgrammeBeginsANewPartAndThePartsJoinBackExactly) {
    WriteStream(hostsim::MakeServiceStream(80000));
    const std::string ini = dir_.File("Options.ini");
    WritePrivateProfileStringA("Corvanlet", "PaddingMinutes", "0", ini.c_str());
    auto whole = Record(stream_, "sid 1", "whole.ts");
    whole.insert(whole.end(), {"--stream-rate", "1"});
    ASSERT_EQ(Hostsim(whole).exitCode, 0u);
    WritePrivateProfileStringA("Corvanlet", "SplitAtProgrammes", "1", ini.c_str());
    auto split = Record(stream_, "sid 1", "split.ts");
    split.insert(split.end(), {"--stream-rate", "1"});
    const HostsimRun run = Hostsim(split);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    const auto withoutTableCounters = [](std::vector<std::uint8_t> bytes) {
        for (std::size_t at = 0; at + 188 <= bytes.size(); at += 188) {
            const int pid = ((bytes[at + 1] & 0x1F) << 8) | bytes[at + 2];
            if (pid == 0 || pid == hostsim::ServicePids::kPmt1 ||
                pid == hostsim::ServicePids::kSdt || pid == hostsim::ServicePids::kEit) {
                bytes[at + 3] &= 0xF0;
            }
        }
        return bytes;
    };
    const auto all = withoutTableCounters(ReadFileBytes(dir_.File("whole.ts")));
    const auto first = withoutTableCounters(ReadFileBytes(dir_.File("split.ts")));
    const auto second = withoutTableCounters(ReadFileBytes(dir_.File("split-2.ts")));
    EXPECT_TRUE(ReadFileBytes(dir_.File("split-3.ts")).empty()) << "one change, two parts";
    ASSERT_GT(first.size(), 1000000u);
    ASSERT_GT(second.size(), 100000u);
    ASSERT_LT(second.size(), all.size());
    // The second part's tables: the packets before the whole one's end.
    std::size_t tables = 0;
    const auto endsAll = [&](std::size_t from) {
        return std::equal(second.begin() + static_cast<std::ptrdiff_t>(from), second.end(),
                          all.end() - static_cast<std::ptrdiff_t>(second.size() - from));
    };
    while (tables < 64 * 188 && !endsAll(tables)) tables += 188;
    ASSERT_TRUE(endsAll(tables)) << "the second part is the whole recording's end";
    EXPECT_GE(tables, 2u * 188) << "it begins with a PAT and a PMT";
    const std::size_t cut = all.size() - (second.size() - tables);
    // Each recording holds the PID the PMT adds halfway only once the host
    // took it, which on a busy machine may come late: its packets are left
    // out of the tails compared.
    const auto withoutAddedPid = [](const std::vector<std::uint8_t>& bytes, std::size_t end) {
        std::vector<std::uint8_t> out;
        for (std::size_t at = 0; at + 188 <= end; at += 188) {
            const int pid = ((bytes[at + 1] & 0x1F) << 8) | bytes[at + 2];
            if (pid != hostsim::ServicePids::kAudio1b) {
                out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes.begin() + static_cast<std::ptrdiff_t>(at + 188));
            }
        }
        return out;
    };
    const auto firstTail = withoutAddedPid(first, first.size());
    const auto wholeTail = withoutAddedPid(all, cut);
    constexpr std::ptrdiff_t kTail = 1000000;
    ASSERT_GE(firstTail.size(), static_cast<std::size_t>(kTail));
    ASSERT_GE(wholeTail.size(), static_cast<std::size_t>(kTail));
    const auto differs =
        std::mismatch(firstTail.end() - kTail, firstTail.end(), wholeTail.end() - kTail).first;
    const auto at = static_cast<std::size_t>(differs - firstTail.begin()) / 188 * 188;
    EXPECT_TRUE(differs == firstTail.end())
        << "the first part ends where the second takes up; it differs "
        << (firstTail.end() - differs) << " bytes before its end, in a packet of PID "
        << (((firstTail[at + 1] & 0x1F) << 8) | firstTail[at + 2]);
    EXPECT_EQ(ReadTable(&second[0]).pids, std::vector<int>{hostsim::ServicePids::kPmt1});
    const std::string log = Log();
    EXPECT_NE(log.find(" part number=2 file=\"" + dir_.File("split-2.ts") + "\""),
              std::string::npos)
        << log;
    EXPECT_LT(log.find(" id=102 "), log.find(" part number=2 ")) << log;
}

// With the name the module builds, each programme's part is named after its
// own programme, and the dialog shows the file being written.
TEST_F(HostsimTest, EachProgrammesPartIsNamedAfterItsProgramme) {
    WriteStream(hostsim::MakeServiceStream(80000));
    const std::string ini = dir_.File("Options.ini");
    WritePrivateProfileStringA("Corvanlet", "PaddingMinutes", "0", ini.c_str());
    WritePrivateProfileStringA("Corvanlet", "SplitAtProgrammes", "1", ini.c_str());
    const HostsimRun named =
        Hostsim({"--module", module_, "--ts", stream_, "--record", "--dir", dir_.Path().string(),
                 "--channel", "11362,H,22000", "--pid", "sid 1", "--stream-rate", "1"});
    ASSERT_EQ(named.exitCode, 0u) << named.errors;
    const std::string again = Log();
    const std::string news = " name file=\"" + dir_.File("Corvanlet One - Morning news - 20");
    const std::string filmLine = " name part=2 file=\"";
    const std::string film = filmLine + dir_.File("Corvanlet One - The film - 20");
    ASSERT_NE(again.find(news), std::string::npos) << again;
    ASSERT_NE(again.find(film), std::string::npos) << again;
    const std::size_t at = again.find(film) + filmLine.size();
    const std::string filmPath = again.substr(at, again.find('"', at) - at);
    EXPECT_EQ(named.values.at("recorded_path"), filmPath) << "the field shows the file written";
    EXPECT_GT(ReadFileBytes(filmPath).size(), 100000u);
}

// What the status line says when a service cannot be recorded whole: no
// file content rather than a file without tables.
TEST_F(HostsimTest, AServiceWithoutItsTablesRecordsNothingAndSaysWhy) {
    WriteStream(hostsim::MakeServiceStream(8000));
    const struct {
        const char* typed;
        const char* maxFilters;
        const char* status;
    } cases[] = {
        {"sid 9", "0", "Service not found"},
        {"sid 1", "1", "Not fed: the host refused PID 256 (PMT): nothing is recorded"},
        {"sid 1", "0", ""},
    };
    for (const auto& c : cases) {
        auto args = Record(stream_, c.typed, "none.ts");
        args.insert(args.end(), {"--stream-rate", "1.5", "--max-filters", c.maxFilters});
        const HostsimRun run = Hostsim(args);
        ASSERT_EQ(run.exitCode, 0u) << run.errors;
        EXPECT_EQ(run.values.at("dialog_status"), c.status) << c.typed;
        EXPECT_EQ(ReadFileBytes(dir_.File("none.ts")).empty(), c.status[0] != '\0') << c.typed;
    }
}

TEST_F(HostsimTest, RealCapturesRecordBusySparseAndTablePids) {
    struct Case {
        const char* file;
        int pid;
    };
    const Case cases[] = {
        {"rai-dvbt-mux_tsduck-test-108.ts", 0x0200},  // busy MPEG-2 video
        {"rai-dvbt-mux_tsduck-test-108.ts", 0x0C1D},  // one packet in the whole capture
        {"rai-dvbt-mux_tsduck-test-108.ts", 0x0000},  // the PAT
        {"rai-dvbt-mux_tsduck-test-108.ts", 0x0012},  // EIT sections
        {"br-dvbt2-hevc_petrj-626MHz.ts", 0x1F95},    // HEVC video
        {"france2-spts_tsduck-test-026.ts", 0x0082},  // E-AC-3 audio
    };
    const std::string first = kSamples + "\\" + cases[0].file;
    if (GetFileAttributesA(first.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "the broadcast captures are not here: " << kSamples;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.file << " PID " << c.pid);
        const std::string ts = kSamples + "\\" + c.file;
        const std::string name = "pid" + std::to_string(c.pid) + ".dat";
        auto args = Record(ts, c.pid, name);
        args.insert(args.end(), {"--rate", "4"});
        const HostsimRun run = Hostsim(args);
        ASSERT_EQ(run.exitCode, 0u) << run.errors;
        const auto expected = Extract(ReadFileBytes(ts), c.pid);
        const auto file = ReadFileBytes(dir_.File(name));
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(file.size(), expected.size());
        EXPECT_TRUE(file == expected);
        EXPECT_EQ(run.values.at("delivered_bytes"), std::to_string(expected.size()));
        EXPECT_EQ(run.values.at("delivered_fnv1a64"),
                  Hex(hostsim::Fnv1a(file.data(), file.size())));
    }
}

// A real capture delivered in a second and a half, picked by name: the
// recording stops before the guide names its programme, and is named after
// what was known by then (the service, and the title if it came).
TEST_F(HostsimTest, AShortRecordingIsNamedWithWhatTheGuideSaidBeforeItsStop) {
    const std::string ts = kSamples + "\\rai-dvbt-mux_tsduck-test-108.ts";
    if (GetFileAttributesA(ts.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "the broadcast captures are not here: " << kSamples;
    }
    const HostsimRun run =
        Hostsim({"--module", module_, "--ts", ts, "--record", "--dir", dir_.Path().string(),
                 "--channel", "11362,H,22000", "--service-name", "Rai 1"});
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    const std::string named = run.values.at("recorded_path");
    EXPECT_EQ(named.rfind(dir_.File("Rai 1 - "), 0), 0u) << named;
    EXPECT_NE(Log().find(" name file=\"" + named + "\"\r\n"), std::string::npos) << Log();
    EXPECT_GT(ReadFileBytes(testing::Utf8Path(named)).size(), 10u * 188);
}

TEST_F(HostsimTest, RecordsTheRightPacketsOfAnUntidyM2tsCapture) {
    const auto packets = hostsim::MakeTransportStream({0x100, 0x300, 0x100, 0x1FFF}, 2000);
    WriteStream(MakeCapture(packets, {192, 77, 900, 3000, 100}));
    auto args = Record(stream_, 0x100, "m2ts.dat");
    args.insert(args.end(), {"--rate", "4"});
    const HostsimRun run = Hostsim(args);
    ASSERT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_NE(run.output.find("packet size 192; skipped 77 leading bytes, 3000 bytes in 1 "
                              "resyncs, a 100-byte partial packet at the end"),
              std::string::npos)
        << run.output;
    const auto expected = Extract(packets, 0x100);
    EXPECT_EQ(expected.size(), 1000u * 188);
    EXPECT_TRUE(ReadFileBytes(dir_.File("m2ts.dat")) == expected);
}

// The process ends while it records and the host delivers: the system kills
// the delivery thread (often inside the callback) and the writer (perhaps in
// the middle of a batch), then tells the library. The process must end at
// once, and the file must hold delivered packets, each whole and at most once.
// Flat out the stream loops (the ring drops much of it); paced, it does not.
TEST_F(HostsimTest, ProcessExitWhileRecordingEndsAtOnceWithEveryBlockWholeAndOnce) {
    constexpr std::uint32_t kPackets = 60000;  // 11.3 MB
    WriteStream(hostsim::MakeTransportStream({0x100}, kPackets));
    for (int run = 0; run < 8; ++run) {
        const bool flatOut = run < 6;
        SCOPED_TRACE(::testing::Message() << "run " << run << (flatOut ? " flat out" : " paced"));
        const std::string name = "exit" + std::to_string(run) + ".dat";
        auto args = Record(stream_, 0x100, name);
        args.insert(args.end(),
                    {"--stop-after", std::to_string(400 + 50 * run), "--stop-by", "exit"});
        if (flatOut) {
            args.push_back("--loop");
        } else {
            args.insert(args.end(), {"--rate", "20"});
        }
        const HostsimRun result = Hostsim(args, 30000);
        ASSERT_FALSE(result.hung) << "the process did not end";
        EXPECT_EQ(result.exitCode, 0u) << result.errors;
        const auto file = ReadFileBytes(dir_.File(name));
        ASSERT_EQ(file.size() % 188, 0u);
        EXPECT_GT(file.size(), 0u);
        std::int64_t previous = -1;
        for (std::size_t at = 0; at < file.size(); at += 188) {
            std::uint32_t index = 0;
            std::memcpy(&index, file.data() + at + 4, 4);
            ASSERT_LT(index, kPackets);
            ASSERT_EQ(file[at], 0x47);
            ASSERT_EQ(file[at + 8], static_cast<std::uint8_t>(index));
            ASSERT_EQ(file[at + 187], static_cast<std::uint8_t>(index));
            // Only a new pass through the stream may go back, and a long way.
            if (static_cast<std::int64_t>(index) <= previous) {
                ASSERT_TRUE(flatOut && previous - index > 2000)
                    << "packet " << index << " after " << previous << " at byte " << at;
            }
            previous = index;
        }
    }
}

}  // namespace
}  // namespace corvanlet
