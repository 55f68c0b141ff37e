// RecorderModule and the dialog's text rules, in-process against the
// simulated host.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "dialog/options_dialog.h"
#include "host/stream_filter.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "recorder/name_rule.h"
#include "recorder/recorder_module.h"
#include "simulated_host.h"
#include "support/hosted_test.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace corvanlet {
namespace {

using testing::HostSettingsFile;
using testing::TempDir;

std::string ExeDirectory() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    *(std::strrchr(path, '\\') + 1) = '\0';
    return path;
}

ChannelInfo Channel(std::int32_t frequency, std::uint32_t polarisation, std::int32_t symbolRate) {
    ChannelInfo channel{};
    channel.frequency = frequency;
    channel.polarisation = polarisation;
    channel.symbolRate = symbolRate;
    return channel;
}

TEST(DialogText, PidParsingFollowsTheDecimalRuleAndWraps) {
    EXPECT_EQ(ParsePid("  42abc"), 42);
    EXPECT_EQ(ParsePid(""), 0);
    EXPECT_EQ(ParsePid("abc"), 0);
    EXPECT_EQ(ParsePid("-1"), -1);
    EXPECT_EQ(ParsePid("+17"), 17);
    EXPECT_EQ(ParsePid("\t\n 8191 "), 8191);
    EXPECT_EQ(ParsePid("4294967297"), 1);          // 2^32 + 1 wraps
    EXPECT_EQ(ParsePid("2147483648"), INT32_MIN);  // wraps, is not clamped
    EXPECT_EQ(ParsePid("99999999999999999"),
              static_cast<std::int32_t>(99999999999999999ull & 0xFFFFFFFFu));
}

// A list or a service only when the whole text is one; text begun as one
// that is none is refused, and so is text with no digit; anything else
// keeps the old reading of the first 19 characters.
TEST(DialogText, PidListsServicesAndHexAreReadOnlyWhenTheWholeTextIsOne) {
    PidChoice list = ParsePidChoice(" 256, 257 0x1A4,256 ");
    ASSERT_EQ(list.kind, PidChoice::Kind::kList);
    EXPECT_EQ(list.count, 3u);  // 256 once
    EXPECT_EQ(list.pids[2], 0x1A4);
    EXPECT_EQ(list.pid, 256);
    EXPECT_EQ(ParsePidChoice("0x200").pid, 0x200);
    EXPECT_EQ(ParsePidChoice("0x200").kind, PidChoice::Kind::kSingle);
    for (const char* sid : {"sid 28106", "SID=28106", " sid:28106 ", "Sid 0x6DCA"}) {
        const PidChoice service = ParsePidChoice(sid);
        EXPECT_EQ(service.kind, PidChoice::Kind::kService) << sid;
        EXPECT_EQ(service.serviceId, 28106) << sid;
    }
    // Begun as a list or a service but none: refused, not read as PID 256.
    EXPECT_EQ(ParsePidChoice("256 8192").kind, PidChoice::Kind::kRefused);  // out of range
    EXPECT_STREQ(ParsePidChoice("256 257x").why, "'257x' is not a PID");
    EXPECT_EQ(ParsePidChoice(",63,63").kind, PidChoice::Kind::kSingle);  // one PID twice
    EXPECT_EQ(ParsePidChoice(",63,63").pid, 63);
    EXPECT_EQ(ParsePidChoice("  42abc").pid, 42);  // the old reading, kept
    EXPECT_EQ(ParsePidChoice("8192").pid, 8192);   // the whole stream
    EXPECT_EQ(ParsePidChoice("sid 70000").kind, PidChoice::Kind::kRefused);
    EXPECT_EQ(ParsePidChoice("sid 0").kind, PidChoice::Kind::kRefused);  // the network's entry
    EXPECT_STREQ(ParsePidChoice("0x20G").why, "not a hex PID: 0x and hex digits, 0x0 to 0x1FFF");
    EXPECT_STREQ(ParsePidChoice("").why,
                 "Type a PID (0 to 8191), PIDs with spaces, or sid and a number");
    // The old rule reads 19 characters; a list is read whole.
    EXPECT_EQ(ParsePidChoice("0000000000000000001 2").kind, PidChoice::Kind::kList);
    EXPECT_EQ(ParsePidChoice((std::string(19, '0') + "12").c_str()).pid, 0);
    std::string seventeen;
    for (int pid = 100; pid < 117; ++pid) seventeen += std::to_string(pid) + " ";
    EXPECT_STREQ(ParsePidChoice(seventeen.c_str()).why, "at most 16 PIDs");

    char text[160];
    FormatPidChoice(list, text, sizeof text);
    EXPECT_STREQ(text, "256 257 420");
    PidChoiceFileTail(list, text, sizeof text);
    EXPECT_STREQ(text, "pid256+257+420.dat");
    PidChoiceFileTail(ParsePidChoice("sid=28106"), text, sizeof text);
    EXPECT_STREQ(text, "sid28106.ts");
}

TEST(DialogText, ElapsedTimeShowsHoursMinutesSeconds) {
    char text[16];
    FormatElapsed(0, text);
    EXPECT_STREQ(text, "00:00:00");
    FormatElapsed(3661000 + 999, text);
    EXPECT_STREQ(text, "01:01:01");
    FormatElapsed(100u * 3600u * 1000u, text);
    EXPECT_STREQ(text, "100:00:00");
    FormatElapsed(0xFFFFFFFFu, text);  // the longest a tick difference can be
    EXPECT_STREQ(text, "1193:02:47");
}

TEST(Recorder, PathJoinsDirectoryAndNameWithOneBackslash) {
    char path[RecorderModule::kPathSize];
    RecorderModule::JoinPath("C:\\Rec", "a.dat", path);
    EXPECT_STREQ(path, "C:\\Rec\\a.dat");
    RecorderModule::JoinPath("C:\\Rec\\", "a.dat", path);
    EXPECT_STREQ(path, "C:\\Rec\\a.dat");
    RecorderModule::JoinPath("", "a.dat", path);
    EXPECT_STREQ(path, "a.dat");
    RecorderModule::JoinPath("C:/Rec/", "a.dat", path);  // only a backslash separates
    EXPECT_STREQ(path, "C:/Rec/\\a.dat");
}

TEST(Recorder, NamesFromTheChannelAndPid) {
    HostLink link;
    RecorderModule recorder(link, Settings(nullptr));
    recorder.SetChoice(17, "", "");
    ChannelInfo channel = Channel(100, 1, 200);
    EXPECT_TRUE(recorder.NameFromChannel(&channel));
    EXPECT_STREQ(recorder.FileName(), "100-V-200 - pid17.dat");
    channel = Channel(100, 0, 200);
    recorder.NameFromChannel(&channel);
    EXPECT_STREQ(recorder.FileName(), "100-H-200 - pid17.dat");
    channel = Channel(-1, 0x80000000u, -5);
    recorder.SetChoice(-1, recorder.FileName(), "");
    recorder.NameFromChannel(&channel);
    EXPECT_STREQ(recorder.FileName(), "-1-V--5 - pid-1.dat");
    EXPECT_FALSE(recorder.NameFromChannel(nullptr));  // keeps the old name
    EXPECT_STREQ(recorder.FileName(), "-1-V--5 - pid-1.dat");
    recorder.SetChoice(ParsePidChoice("256,257"), "", "");
    channel = Channel(100, 1, 200);
    recorder.NameFromChannel(&channel);
    EXPECT_STREQ(recorder.FileName(), "100-V-200 - pid256+257.dat");
}

// The settings' units become bytes and milliseconds in 64 bits, and the
// stop line's rate is kilobits per second.
TEST(Recorder, LimitsAndTheRateAreWorkedOutWithoutOverflow) {
    Settings::Limits settings;
    settings.splitMB = 1;
    settings.stopAfterMB = 4096;
    settings.stopAfterMinutes = 71583;  // past 2^32 ms
    settings.minFreeMB = 3;
    const RecordingLimits limits = RecorderModule::LimitsOf(settings);
    EXPECT_EQ(limits.splitBytes, 1048576u);
    EXPECT_EQ(limits.stopAfterBytes, 4294967296u);
    EXPECT_EQ(limits.stopAfterMs, 4294980000u);
    EXPECT_EQ(limits.minFreeBytes, 3145728u);

    TempDir dir;
    const std::string ini = dir.File("Options.ini");
    RecordingLog log(ini.c_str());
    RecordingLog::Stop stop{};
    stop.durationMs = 2000;
    stop.bytesWritten = 250000;  // 2,000,000 bits in 2 s
    stop.reason = "user";
    log.Stopped(256, stop);
    const auto bytes = testing::ReadFileBytes(dir.File("Corvanlet.log"));
    const std::string line(bytes.begin(), bytes.end());
    EXPECT_NE(line.find(" kbps=1000"), std::string::npos) << line;
}

class RecorderSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WritePrivateProfileStringA("Siltrocke", nullptr, nullptr, HostSettingsFile().c_str());
    }
    void TearDown() override {
        WritePrivateProfileStringA("Siltrocke", nullptr, nullptr, HostSettingsFile().c_str());
    }
    TempDir dir_;
    std::string ini_ = dir_.File("Options.ini");
    HostLink link_;
};

TEST_F(RecorderSettingsTest, FallBackFromOptionsToHostSettingsToExecutableDirectory) {
    RecorderModule recorder(link_, Settings(ini_.c_str()));
    EXPECT_EQ(std::string(recorder.Directory()), ExeDirectory());  // nothing set anywhere
    recorder.LoadSettings();
    EXPECT_EQ(std::string(recorder.Directory()), ExeDirectory());
    EXPECT_EQ(recorder.Pid(), 0);

    WritePrivateProfileStringA("Siltrocke", "RecordDir", "D:\\HostRec", HostSettingsFile().c_str());
    recorder.LoadSettings();
    EXPECT_STREQ(recorder.Directory(), "D:\\HostRec");

    WritePrivateProfileStringA("Corvanlet", "Path", "E:\\Mine", ini_.c_str());
    WritePrivateProfileStringA("Corvanlet", "Pid", "-42", ini_.c_str());
    recorder.LoadSettings();
    EXPECT_STREQ(recorder.Directory(), "E:\\Mine");
    EXPECT_EQ(recorder.Pid(), -42);
}

TEST_F(RecorderSettingsTest, SaveWritesPathAndPidThatLoadReadsBack) {
    RecorderModule recorder(link_, Settings(ini_.c_str()));
    recorder.SetChoice(8191, "", "F:\\Saved dir");
    recorder.SaveSettings();
    RecorderModule other(link_, Settings(ini_.c_str()));
    other.LoadSettings();
    EXPECT_STREQ(other.Directory(), "F:\\Saved dir");
    EXPECT_EQ(other.Pid(), 8191);

    // A list keeps its first PID in "Pid" for older readers; one PID again
    // takes the list away.
    recorder.SetChoice(ParsePidChoice("256 257"), "", "F:\\Saved dir");
    recorder.SaveSettings();
    EXPECT_EQ(GetPrivateProfileIntA("Corvanlet", "Pid", -1, ini_.c_str()), 256u);
    other.LoadSettings();
    EXPECT_EQ(other.Choice(), ParsePidChoice("256 257"));
    recorder.SetChoice(ParsePidChoice("sid 7"), "", "F:\\Saved dir");
    recorder.SaveSettings();
    other.LoadSettings();
    EXPECT_EQ(other.Choice().kind, PidChoice::Kind::kService);
    recorder.SetChoice(300, "", "F:\\Saved dir");
    recorder.SaveSettings();
    other.LoadSettings();
    EXPECT_EQ(other.Choice(), PidChoice::Single(300));
}

TEST_F(RecorderSettingsTest, NoSettingsFileMeansDefaultsAndNoWrites) {
    RecorderModule recorder(link_, Settings(nullptr));  // the module's directory was too long
    recorder.SetChoice(5, "", "x");
    recorder.SaveSettings();
    recorder.LoadSettings();
    EXPECT_EQ(recorder.Pid(), 0);
    EXPECT_EQ(GetFileAttributesA(ini_.c_str()), INVALID_FILE_ATTRIBUTES);
    // A path that does not fit is no settings file either.
    EXPECT_STREQ(Settings(std::string(300, 'x').c_str()).Path(), "");
}

TEST(Settings, BufferKBBoundsAndJunk) {
    EXPECT_EQ(Settings::ParseBufferKB("16384"), 16384);
    EXPECT_EQ(Settings::ParseBufferKB(" 100 "), 100);  // the bounds are taken as given
    EXPECT_EQ(Settings::ParseBufferKB("262144"), 262144);
    EXPECT_EQ(Settings::ParseBufferKB("99"), 100);  // outside: the nearer bound
    EXPECT_EQ(Settings::ParseBufferKB("-5"), 100);
    EXPECT_EQ(Settings::ParseBufferKB("262145"), 262144);
    EXPECT_EQ(Settings::ParseBufferKB("99999999999999999999"), 262144);
    EXPECT_EQ(Settings::ParseBufferKB(""), Settings::kDefaultBufferKB);  // junk: the default
    EXPECT_EQ(Settings::ParseBufferKB("lots"), Settings::kDefaultBufferKB);
    EXPECT_EQ(Settings::ParseBufferKB("512k"), Settings::kDefaultBufferKB);
    EXPECT_EQ(Settings::ParseBufferKB("0x400"), Settings::kDefaultBufferKB);
}

// Keys the dialog does not show are never written: a value the user wrote
// while the module had another stays, and so does one it cannot use, as
// typed (it counts as not set, and the log says so once).
TEST_F(RecorderSettingsTest, KeysTheDialogDoesNotShowAreNeverWrittenAndBadOnesAreSaid) {
    RecorderModule recorder(link_, Settings(ini_.c_str()));
    WritePrivateProfileStringA("Corvanlet", "SplitMB", "3", ini_.c_str());
    WritePrivateProfileStringA("Corvanlet", "BufferKB", "4096", ini_.c_str());
    recorder.LoadSettings();
    EXPECT_EQ(recorder.BufferKB(), 4096);
    EXPECT_EQ(recorder.Limits().splitMB, 3);
    WritePrivateProfileStringA("Corvanlet", "SplitMB", "7", ini_.c_str());  // while it runs
    WritePrivateProfileStringA("Corvanlet", "BufferKB", "many", ini_.c_str());
    recorder.SaveSettings();
    auto read = [&](const char* key) {
        char value[32] = {};
        GetPrivateProfileStringA("Corvanlet", key, "(none)", value, sizeof value, ini_.c_str());
        return std::string(value);
    };
    EXPECT_EQ(read("SplitMB"), "7");
    EXPECT_EQ(read("BufferKB"), "many");
    EXPECT_EQ(read("StopAfterMB"), "(none)");
    EXPECT_EQ(read("StopAtProgrammeEnd"), "(none)") << "off, and the file said nothing";

    WritePrivateProfileStringA("Corvanlet", "SplitMB", "0.5", ini_.c_str());
    WritePrivateProfileStringA("Corvanlet", "StopAfterMB", "-1", ini_.c_str());
    WritePrivateProfileStringA("Corvanlet", "MinFreeMB", "1MB", ini_.c_str());
    WritePrivateProfileStringA("Corvanlet", "StopAfterMinutes", "30", ini_.c_str());
    recorder.LoadSettings();
    EXPECT_EQ(recorder.Limits().splitMB, 0);
    EXPECT_EQ(recorder.Limits().stopAfterMB, 0);
    EXPECT_EQ(recorder.BufferKB(), Settings::kDefaultBufferKB);
    recorder.SetChoice(PidChoice::Single(0x100), "limits.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(recorder.StartRecording());
    recorder.StopRecording();
    ASSERT_TRUE(recorder.StartRecording());  // said once, not at every Start
    recorder.StopRecording();
    recorder.SaveSettings();
    EXPECT_EQ(read("SplitMB"), "0.5");
    const auto bytes = testing::ReadFileBytes(dir_.File("Corvanlet.log"));
    const std::string log(bytes.begin(), bytes.end());
    for (const char* line :
         {"settings: SplitMB=0.5 is not a whole number of MB; not used",
          "settings: StopAfterMB=-1 is not a whole number of MB; not used",
          "settings: MinFreeMB=1MB is not a whole number of MB; not used",
          "settings: BufferKB=many is not a whole number of KB (the default is used); not used"}) {
        const std::size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << line << "\n" << log;
        EXPECT_EQ(log.find(line, at + 1), std::string::npos) << "once: " << line;
    }
    // The start line says which limits are in force.
    EXPECT_NE(log.find(" ring=16384KB stop_after_min=30\r\n"), std::string::npos) << log;
}

using RecorderRecordingTest = testing::HostedTest;

TEST_F(RecorderRecordingTest, StartWhileRecordingKeepsTheRunningRecording) {
    RecorderModule recorder(link_, Settings(nullptr));
    recorder.SetChoice(0x100, "one.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(recorder.StartRecording());
    EXPECT_TRUE(recorder.IsRecording());
    recorder.SetChoice(0x100, "two.dat", dir_.Path().string().c_str());
    EXPECT_TRUE(recorder.StartRecording());  // goes on with one.dat
    EXPECT_EQ(host_.AddMessages(), 1u);
    EXPECT_EQ(GetFileAttributesA(dir_.File("two.dat").c_str()), INVALID_FILE_ATTRIBUTES);
    ChannelInfo channel = Channel(1, 1, 1);
    EXPECT_FALSE(recorder.NameFromChannel(&channel));  // no renaming while recording
    EXPECT_STREQ(recorder.FileName(), "two.dat");
    recorder.StopRecording();
    EXPECT_FALSE(recorder.IsRecording());
    EXPECT_EQ(host_.RemoveMessages(), 1u);
}

std::vector<std::string> LogLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

TEST_F(RecorderRecordingTest, StartThatCannotCreateTheFileFails) {
    const std::string ini = dir_.File("Options.ini");
    RecorderModule recorder(link_, Settings(ini.c_str()));
    recorder.SetChoice(0, "a.dat", dir_.File("missing").c_str());
    EXPECT_FALSE(recorder.StartRecording());
    EXPECT_FALSE(recorder.IsRecording());
    EXPECT_FALSE(recorder.HasRecorded());
    char why[160];
    recorder.Status(why, sizeof why);
    EXPECT_STREQ(why, "Cannot create the file: the directory does not exist");
    // The directory alone is no file.
    recorder.SetChoice(0, "", dir_.Path().string().c_str());
    EXPECT_FALSE(recorder.StartRecording());
    EXPECT_EQ(host_.AddMessages(), 0u);
    char status[160];
    recorder.Status(status, sizeof status);
    EXPECT_STREQ(status, "No file name: no channel yet, type one");
    // With a channel reported the name was there to keep: it was emptied.
    ChannelInfo channel{};
    channel.frequency = 11362;
    channel.symbolRate = 22000;
    ASSERT_TRUE(recorder.NameFromChannel(&channel));
    recorder.SetChoice(0, "", dir_.Path().string().c_str());
    EXPECT_FALSE(recorder.StartRecording());
    recorder.Status(status, sizeof status);
    EXPECT_STREQ(status, "No file name: type one");
    // No directory would record into the host's current folder.
    recorder.SetChoice(0, "a.dat", "");
    EXPECT_FALSE(recorder.StartRecording());
    recorder.Status(status, sizeof status);
    EXPECT_STREQ(status, "No directory: choose one");
    EXPECT_EQ(host_.AddMessages(), 0u);
    // Each failed start has its line, with the path and why.
    const auto lines = LogLines(dir_.File("Corvanlet.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find(" start-failed pid=0 file=\"a.dat\" reason=bad-directory"),
              std::string::npos)
        << lines[3];
    EXPECT_NE(lines[0].find(" start-failed pid=0 file=\"" + dir_.File("missing") +
                            "\\a.dat\" "
                            "reason=cannot-create"),
              std::string::npos)
        << lines[0];
}

// The rule, not the file system: under wine a colon makes a plain file, on
// NTFS a hidden stream of another file.
TEST_F(RecorderRecordingTest, NamesThatWouldHideARecordingAreRefused) {
    RecorderModule recorder(link_, Settings(dir_.File("Options.ini").c_str()));
    const std::string here = dir_.Path().string();
    const struct {
        const char* name;
        std::string directory;
        const char* status;
    } refused[] = {
        {"news 12:30.dat", here,
         "Cannot create the file: the name may not contain a colon (it names a hidden stream)"},
        {"a|b.dat", here,
         "Cannot create the file: the name may not contain any of \\ / * ? \" < > |"},
        {"sub\\a.dat", here,
         "Cannot create the file: the name may not contain any of \\ / * ? \" < > |"},
        {"tab\t.dat", here, "Cannot create the file: the name may not contain a control character"},
        {"nul.ts", here, "Cannot create the file: the name is a device's (CON, NUL, COM1, ...)"},
        {"rec.ts.", here, "Cannot create the file: the name may not end with a dot or a space"},
        {"a.dat", here + "\\x:y",
         "Cannot create the file: the directory may not contain a colon other than the drive's"},
        {"a.dat", here + "\\*",
         "Cannot create the file: the directory may not contain any of * ? \" < > |"},
    };
    for (const auto& c : refused) {
        recorder.SetChoice(256, c.name, c.directory.c_str());
        EXPECT_FALSE(recorder.StartRecording()) << c.name;
        char status[160];
        recorder.Status(status, sizeof status);
        EXPECT_STREQ(status, c.status) << c.name;
    }
    EXPECT_EQ(host_.AddMessages(), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("news 12")));
    const auto lines = LogLines(dir_.File("Corvanlet.log"));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[0].find("reason=bad-name"), std::string::npos) << lines[0];
    EXPECT_NE(lines[7].find("reason=bad-directory"), std::string::npos) << lines[7];
    EXPECT_EQ(FileNameProblem("console.ts"), nullptr);  // only the device names themselves
    EXPECT_EQ(FileNameProblem("COM10.ts"), nullptr);
    // The drive's colon and the long-path prefix are no names; the names the
    // module builds pass the rule.
    EXPECT_EQ(DirectoryProblem("C:\\Rec"), nullptr);
    EXPECT_EQ(DirectoryProblem("\\\\?\\C:\\Rec"), nullptr);
    EXPECT_EQ(DirectoryProblem("\\\\server\\share"), nullptr);
    ChannelInfo channel = Channel(11362, 1, 22000);
    for (const char* typed : {"-1", "256 257 0x1A4", "sid 28106"}) {
        recorder.SetChoice(ParsePidChoice(typed), "", here.c_str());
        recorder.NameFromChannel(&channel);
        EXPECT_EQ(FileNameProblem(recorder.FileName()), nullptr) << recorder.FileName();
    }
    recorder.SetChoice(256, "news 12-30.dat", here.c_str());
    EXPECT_TRUE(recorder.StartRecording());
    recorder.StopRecording();
}

TEST_F(RecorderRecordingTest, DestructionStopsTheRecordingWithItsDataWritten) {
    const std::string path = dir_.File("unload.dat");
    {
        RecorderModule recorder(link_, Settings(nullptr));
        recorder.SetChoice(0, "unload.dat", dir_.Path().string().c_str());
        ASSERT_TRUE(recorder.StartRecording());
        std::uint8_t block[940];
        std::memset(block, 0x47, sizeof block);
        for (int i = 0; i < 50; ++i) DataCallback(0, sizeof block, block);
    }
    EXPECT_EQ(host_.RemoveMessages(), 1u);
    EXPECT_EQ(testing::ReadFileBytes(path).size(), 50u * 940u);
}

TEST_F(RecorderRecordingTest, TheLogHasALineAtEachStartAndStopAndIsKeptBounded) {
    const std::string ini = dir_.File("Options.ini");
    const std::string log = dir_.File("Corvanlet.log");
    WritePrivateProfileStringA("Corvanlet", "BufferKB", "200", ini.c_str());
    RecorderModule recorder(link_, Settings(ini.c_str()));
    recorder.LoadSettings();
    recorder.SetChoice(0x100, "logged.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(recorder.StartRecording());
    std::uint8_t block[188] = {0x47, 0x01, 0x00, 0x10};
    for (int i = 0; i < 10; ++i) {
        block[3] = static_cast<std::uint8_t>(0x10 | (i & 15));
        DataCallback(0, sizeof block, block);
    }
    block[3] = 0x1E;  // a counter that skips: one continuity error
    DataCallback(0, sizeof block, block);
    recorder.StopRecording();

    auto lines = LogLines(log);
    ASSERT_EQ(lines.size(), 3u);
    // The 10 seconds that had the error have a line of their own.
    EXPECT_NE(lines[1].find(" errors at=00:00:00 cc=1 transport=0 lost=0"), std::string::npos)
        << lines[1];
    lines.erase(lines.begin() + 1);
    // 2026-12-08T23:45:12 start pid=256 file="...\logged.dat" ring=200KB
    EXPECT_EQ(lines[0].size() > 20 ? lines[0][4] : ' ', '-');
    EXPECT_EQ(lines[0][10], 'T');
    EXPECT_NE(lines[0].find(" start pid=256 file=\"" + dir_.File("logged.dat") + "\" ring=200KB"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" stop pid=256 duration=00:00:0"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" bytes=2068 refused_blocks=0 refused_bytes=0 failed_writes=0 "
                            "failed_bytes=0 cc_errors=1 transport_errors=0 ring_peak="),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find("% reason=user kbps="), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].find("parts="), std::string::npos) << lines[1];       // not split
    EXPECT_TRUE(lines[1].ends_with(" scrambled=0 nodata_s=0")) << lines[1];  // they come last

    // Past 1 MiB the log becomes Corvanlet.log.old, replacing an older one.
    { std::ofstream(log, std::ios::app) << std::string(1024 * 1024, 'x'); }
    { std::ofstream(log + ".old") << "older"; }
    ASSERT_TRUE(recorder.StartRecording());
    recorder.StopRecording();
    EXPECT_EQ(LogLines(log).size(), 2u);
    EXPECT_GT(testing::ReadFileBytes(log + ".old").size(), 1024u * 1024u);

    // No settings file, no log.
    RecorderModule unlogged(link_, Settings(nullptr));
    unlogged.SetChoice(0x100, "unlogged.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(unlogged.StartRecording());
    unlogged.StopRecording();
    EXPECT_EQ(LogLines(log).size(), 2u);
}

TEST_F(RecorderRecordingTest, AStartRenamesTheBuiltNameAfterThePidItRecords) {
    RecorderModule recorder(link_, Settings(nullptr));
    const std::string directory = dir_.Path().string();
    ChannelInfo channel = Channel(11362, 1, 22000);
    ASSERT_TRUE(recorder.NameFromChannel(&channel));  // built with PID 0
    EXPECT_STREQ(recorder.FileName(), "11362-V-22000 - pid0.dat");
    // The user types PID 256 and leaves the built name: the file says 256.
    recorder.SetChoice(256, recorder.FileName(), directory.c_str());
    ASSERT_TRUE(recorder.StartRecording());
    EXPECT_STREQ(recorder.FileName(), "11362-V-22000 - pid256.dat");
    recorder.StopRecording();
    EXPECT_NE(GetFileAttributesA(dir_.File("11362-V-22000 - pid256.dat").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(dir_.File("11362-V-22000 - pid0.dat").c_str()),
              INVALID_FILE_ATTRIBUTES);
    // A name the user edited is used as it is.
    recorder.SetChoice(300, "mine - pid256.dat", directory.c_str());
    ASSERT_TRUE(recorder.StartRecording());
    EXPECT_STREQ(recorder.FileName(), "mine - pid256.dat");
    recorder.StopRecording();
    // With no channel reported, a name is never built.
    RecorderModule fresh(link_, Settings(nullptr));
    fresh.SetChoice(256, " - pid0.dat", directory.c_str());
    ASSERT_TRUE(fresh.StartRecording());
    EXPECT_STREQ(fresh.FileName(), " - pid0.dat");
    fresh.StopRecording();
}

// An unload or a process exit ends the recording with a stop line that says
// so. The object's memory is kept: at a simulated exit the writer is not
// ended and may still look at it.
TEST_F(RecorderRecordingTest, UnloadAndExitWriteAStopLine) {
    const std::string ini = dir_.File("Options.ini");
    for (const platform::Teardown teardown :
         {platform::Teardown::kUnload, platform::Teardown::kProcessExit}) {
        auto* memory = new unsigned char[sizeof(RecorderModule)];
        auto* recorder = new (memory) RecorderModule(link_, Settings(ini.c_str()));
        recorder->SetChoice(0x100, "ends.dat", dir_.Path().string().c_str());
        ASSERT_TRUE(recorder->StartRecording());
        std::uint8_t block[940] = {};
        for (int i = 0; i < 20; ++i) DataCallback(0, sizeof block, block);
        recorder->Shutdown(teardown);
        recorder->~RecorderModule();
        if (teardown == platform::Teardown::kUnload) delete[] memory;
    }
    const auto lines = LogLines(dir_.File("Corvanlet.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find(" stop pid=256 "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" bytes=18800 "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" reason=unload "), std::string::npos) << lines[1];
    EXPECT_NE(lines[3].find(" bytes=18800 "), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find(" reason=exit "), std::string::npos) << lines[3];
}

// The log stays bounded when it cannot be renamed: here the old log is held
// open, and the log sits so deep that ".old" would pass the path limit.
TEST_F(RecorderRecordingTest, ALogThatCannotRotateBeginsAnew) {
    // A directory of 244 characters: the log's path fits, its ".old" does not.
    std::string deep = dir_.Path().string();
    while (deep.size() < 244) {
        const std::size_t more = std::min<std::size_t>(100, 243 - deep.size());
        deep.push_back('\\');
        deep.append(more, 'd');
        ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
    }
    for (const std::string& directory : {dir_.Path().string(), deep}) {
        SCOPED_TRACE(directory);
        const std::string log = directory + "\\Corvanlet.log";
        const std::string old = log + ".old";
        RecorderModule recorder(link_, Settings((directory + "\\Options.ini").c_str()));
        { std::ofstream(log, std::ios::binary) << std::string(1024 * 1024 + 10, 'x'); }
        platform::UniqueFileHandle held;
        if (directory != deep) {
            { std::ofstream(old) << "older"; }
            held.Reset(CreateFileA(old.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held);
        }
        recorder.SetChoice(0x100, "r.dat", directory.c_str());
        ASSERT_TRUE(recorder.StartRecording());
        recorder.StopRecording();
        EXPECT_LT(testing::ReadFileBytes(log).size(), 4096u);
        EXPECT_EQ(LogLines(log).size(), 2u);
    }
}

// The opt-in limits from "Options.ini": split at 1 MiB, stop after 2 MiB.
// The recording ends itself with the first block past 2 MiB; the next call
// stops it, and the stop line says why and how many parts it made.
TEST_F(RecorderRecordingTest, LimitsFromTheSettingsSplitAndStopTheRecording) {
    const std::string ini = dir_.File("Options.ini");
    WritePrivateProfileStringA("Corvanlet", "SplitMB", "1", ini.c_str());
    WritePrivateProfileStringA("Corvanlet", "StopAfterMB", "2", ini.c_str());
    WritePrivateProfileStringA("Corvanlet", "MinFreeMB", "lots", ini.c_str());  // junk: never
    RecorderModule recorder(link_, Settings(ini.c_str()));
    recorder.LoadSettings();
    EXPECT_EQ(recorder.Limits().splitMB, 1);
    EXPECT_EQ(recorder.Limits().stopAfterMB, 2);
    EXPECT_EQ(recorder.Limits().minFreeMB, 0);
    EXPECT_EQ(recorder.Limits().stopAfterMinutes, 0);
    recorder.SetChoice(0x100, "limits.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(recorder.StartRecording());
    std::uint8_t block[940] = {};
    for (int i = 0; i < 3000; ++i) DataCallback(0, sizeof block, block);
    bool stopped = false;  // the recording ends itself at the size; this stops it
    for (int i = 0; i < 5000 && !(stopped = recorder.StopIfEnded()); ++i) platform::SleepMs(1);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(recorder.IsRecording());
    EXPECT_EQ(recorder.BytesWritten(), 2232u * 940u);  // the 2232nd block passes 2 MiB
    EXPECT_EQ(recorder.LostBytes(), 0u);
    std::uint64_t joined = 0;
    for (const char* part : {"limits.dat", "limits-2.dat", "limits-3.dat"}) {
        const auto size = testing::ReadFileBytes(dir_.File(part)).size();
        EXPECT_LE(size, 1u << 20) << part;
        joined += size;
    }
    EXPECT_EQ(joined, 2232u * 940u);
    char status[160];
    recorder.Status(status, sizeof status);
    EXPECT_STREQ(status, "Stopped at 2 MB (StopAfterMB)") << "until the next Start";
    const auto lines = LogLines(dir_.File("Corvanlet.log"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find(" split_mb=1 stop_after_mb=2"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" settings: MinFreeMB=lots is not"), std::string::npos) << lines[1];
    // Every part, where a user finds it.
    EXPECT_NE(lines[2].find(" part number=2 file=\"" + dir_.File("limits-2.dat") + "\""),
              std::string::npos)
        << lines[2];
    EXPECT_NE(lines[3].find(" part number=3 file=\""), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find(" bytes=2098080 "), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find(" reason=size kbps="), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find(" parts=3"), std::string::npos) << lines[4];
    // A save leaves the keys the dialog does not show as the user wrote them.
    recorder.SaveSettings();
    char value[32] = {};
    GetPrivateProfileStringA("Corvanlet", "StopAfterMinutes", "", value, sizeof value, ini.c_str());
    EXPECT_STREQ(value, "");
    GetPrivateProfileStringA("Corvanlet", "MinFreeMB", "", value, sizeof value, ini.c_str());
    EXPECT_STREQ(value, "lots");
    // Below MinFreeMB a recording does not start.
    WritePrivateProfileStringA("Corvanlet", "MinFreeMB", "1073741824", ini.c_str());
    recorder.LoadSettings();
    recorder.SetChoice(0x100, "nospace.dat", dir_.Path().string().c_str());
    EXPECT_FALSE(recorder.StartRecording());
    // The host's own Stop before anyone saw the limit: the line still says
    // the recording ended at its size, where it ended.
    WritePrivateProfileStringA("Corvanlet", "MinFreeMB", "0", ini.c_str());
    WritePrivateProfileStringA("Corvanlet", "SplitMB", "0", ini.c_str());
    WritePrivateProfileStringA("Corvanlet", "StopAfterMB", "1", ini.c_str());
    recorder.LoadSettings();
    recorder.SetChoice(0x100, "hoststop.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(recorder.StartRecording());
    for (int i = 0; i < 2000; ++i) DataCallback(0, sizeof block, block);
    ASSERT_TRUE(testing::WaitFor([&] { return recorder.BytesWritten() == 1049040u; }));
    // Nobody stops it for a while (the dialog was closed): the seconds after
    // its end are not seconds without data.
    for (int i = 0; i < 13; ++i) {
        recorder.OnSecond();
        platform::SleepMs(500);
    }
    recorder.StopRecording(StopReason::kHostStop);
    const auto last = LogLines(dir_.File("Corvanlet.log")).back();
    EXPECT_NE(last.find(" bytes=1049040 "), std::string::npos) << last;
    EXPECT_NE(last.find(" reason=size "), std::string::npos) << last;
    EXPECT_TRUE(last.ends_with(" nodata_s=0")) << last;
}

// A sink whose first write blocks until `stuckRelease` (a disk that stopped
// answering); it says so in `stuckEntered` and when it is destroyed.
std::atomic<bool> stuckEntered{false};
std::atomic<bool> stuckRelease{false};
std::atomic<bool> stuckDestroyed{false};

class StuckSink : public FileSink {
  public:
    using FileSink::FileSink;
    ~StuckSink() override {
        ForbidLeavingBehind();
        CloseFile();
        stuckDestroyed = true;
    }

  protected:
    bool WriteSome(const void* data, std::uint32_t length, std::uint64_t offset,
                   std::uint32_t* written) override {
        stuckEntered = true;
        // Held until the test releases it; bounded, so that no test hangs for ever.
        (void)testing::WaitFor([] { return stuckRelease.load(); }, 20000);
        return FileSink::WriteSome(data, length, offset, written);
    }
};

// The first recording's sink is stuck; later ones are plain.
int sinksMade = 0;
std::unique_ptr<FileSink> MakeFirstSinkStuck(std::int32_t capacity) {
    if (sinksMade++ == 0) return std::make_unique<StuckSink>(capacity);
    return std::make_unique<FileSink>(capacity);
}

// A Start into the file our own stuck writer still holds records beside it,
// in "name (2).ext", which becomes the name the dialog shows. A file another
// program holds still fails the start.
TEST_F(RecorderRecordingTest, AStartIntoTheFileOfAStuckWriterRecordsBesideIt) {
    stuckEntered = false;
    stuckRelease = false;
    stuckDestroyed = false;
    sinksMade = 0;
    RecorderModule recorder(link_, Settings(nullptr), &MakeFirstSinkStuck);
    recorder.SetChoice(0x100, "held.dat", dir_.Path().string().c_str());
    ASSERT_TRUE(recorder.StartRecording());
    std::uint8_t block[940] = {};
    DataCallback(0, sizeof block, block);
    ASSERT_TRUE(testing::WaitFor([] { return stuckEntered.load(); }));
    recorder.StopRecording();  // leaves the stuck writer behind with held.dat
    ASSERT_TRUE(recorder.StartRecording());
    EXPECT_STREQ(recorder.FileName(), "held (2).dat");
    DataCallback(0, sizeof block, block);
    recorder.StopRecording();
    EXPECT_EQ(testing::ReadFileBytes(dir_.File("held (2).dat")).size(), 940u);
    platform::UniqueFileHandle other(CreateFileA(dir_.File("other.dat").c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    recorder.SetChoice(0x100, "other.dat", dir_.Path().string().c_str());
    EXPECT_FALSE(recorder.StartRecording());
    EXPECT_STREQ(recorder.FileName(), "other.dat");
    stuckRelease = true;
    EXPECT_TRUE(testing::WaitFor([] { return stuckDestroyed.load(); }));
}

// A stuck disk: Stop, or the unload, returns within the bound; the stop line
// says disk-stuck and Lost counts what never reached the file; a new
// recording into another directory runs at once; the old writer frees its
// sink once the write returns.
TEST_F(RecorderRecordingTest, AStuckDiskStopsWithinTheBoundAndANewRecordingRuns) {
    for (const platform::Teardown how : {platform::Teardown::kNone, platform::Teardown::kUnload}) {
        SCOPED_TRACE(how == platform::Teardown::kNone ? "stop" : "unload");
        stuckEntered = false;
        stuckRelease = false;
        stuckDestroyed = false;
        sinksMade = 0;
        TempDir other;
        const std::string ini = dir_.File("Options.ini");
        {
            RecorderModule recorder(link_, Settings(ini.c_str()), &MakeFirstSinkStuck);
            recorder.SetChoice(0x100, "stuck.dat", dir_.Path().string().c_str());
            ASSERT_TRUE(recorder.StartRecording());
            std::uint8_t block[940] = {};
            for (int i = 0; i < 100; ++i) DataCallback(0, sizeof block, block);
            ASSERT_TRUE(testing::WaitFor([] { return stuckEntered.load(); }))
                << "the stuck sink's first write did not begin";
            recorder.OnSecond();  // a sample that saw the stuck batch taken
            const std::uint32_t start = platform::TickCountMs();
            if (how == platform::Teardown::kNone) {
                recorder.StopRecording();
            } else {
                recorder.Shutdown(how);
            }
            // Well before the stuck call would return by itself (20 s).
            EXPECT_LT(platform::TickCountMs() - start, BlockRing::kStuckMs + 12000);
            EXPECT_FALSE(recorder.IsRecording());
            EXPECT_EQ(recorder.LostBytes(), 100u * 940u);
            EXPECT_EQ(recorder.BytesWritten(), 0u);
            // The last second is the stuck recording's own, not the fresh sink's zeros.
            EXPECT_LE(recorder.Health().SecondAgo(0).inBytes, 100u * 940u);

            recorder.SetChoice(0x100, "after.dat", other.Path().string().c_str());
            ASSERT_TRUE(recorder.StartRecording());
            for (int i = 0; i < 50; ++i) DataCallback(0, sizeof block, block);
            recorder.StopRecording();
            EXPECT_EQ(testing::ReadFileBytes(other.File("after.dat")).size(), 50u * 940u);
            EXPECT_EQ(recorder.LostBytes(), 0u);
        }
        EXPECT_FALSE(stuckDestroyed.load());
        stuckRelease = true;
        // After a stop the writer frees its sink once its write returns. At an
        // unload it was stopped for good inside the write (the library's code
        // is about to go): it never comes back, and the log says so.
        const bool freed = testing::WaitFor([] { return stuckDestroyed.load(); }, 3000);
        EXPECT_EQ(freed, how == platform::Teardown::kNone);
        const auto lines = LogLines(dir_.File("Corvanlet.log"));
        ASSERT_GE(lines.size(), 4u);
        const bool unload = how == platform::Teardown::kUnload;
        const std::string& afterStuck = lines[lines.size() - 3];
        EXPECT_EQ(afterStuck.find(" unload stuck_writers=1:") != std::string::npos, unload)
            << afterStuck;
        const std::string& stuckStop = lines[lines.size() - (unload ? 4 : 3)];
        EXPECT_NE(stuckStop.find(" failed_bytes=94000 "), std::string::npos) << stuckStop;
        EXPECT_NE(stuckStop.find(" reason=disk-stuck "), std::string::npos) << stuckStop;
    }
}

}  // namespace
}  // namespace corvanlet
