// What battery-host run keeps and guards, end to end through the real
// programs: history rings on a disk that fills, runs killed at random
// moments, old and read-only histories, one host per state directory and per
// port, configurations that cannot work, and the command lines.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/process.h"
#include "tests/support/run_values.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;
using namespace run_values;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Generous: the machines are shared; no test asserts on speed.
constexpr seconds kRunLimit{60};
// For what must be refused at once: a host that waits on a file fails the test.
constexpr seconds kRefusalLimit{10};
constexpr std::uintmax_t kRingHeaderSize = 32;
constexpr std::uintmax_t kRingEntrySize = 168;
// Natively as many as it takes to trust it; under an emulator or valgrind a
// start costs a second or more.
constexpr int kKilledRuns = 200;
constexpr int kKilledRunsEmulated = 40;
constexpr int kLappingCycles = 100'000;
constexpr int kLappingCyclesEmulated = 3'500;
constexpr seconds kLappingRunLimit{600};

// Set in main when the test has a mount namespace of its own, where it may
// mount a small tmpfs that no one else sees.
bool own_mounts = false;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::vector<Json::Value> Records(const std::string& output) {
  return OfType(JsonLines(output), "record");
}

// The address of a device whose test does not name one.
constexpr const char* kAddress = "\"0x81\"";

// Fast simulated monitors; every record goes to the history.
std::string Config(const std::vector<std::string>& devices,
                   const std::string& history = R"({"entries": 50, "interval_s": 0})",
                   const std::string& more = "") {
  std::string list;
  for (const std::string& device : devices) list += (list.empty() ? "" : ",\n  ") + device;
  return "{\"poll_interval_ms\": 0, \"ports\": {\"sim\": {\"paced\": false}},\n\"history\": " +
         history + ",\n" + more + "\"devices\": [\n  " + list + "]}\n";
}

class HostStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Made()); }
  void TearDown() override {
    processes_.clear();
    for (const std::string& mount : mounts_) ::umount2(mount.c_str(), MNT_DETACH);
  }

  std::string Path(const std::string& name) const { return dir_.Path(name); }
  std::string Write(const std::string& name, const std::string& text) {
    fs::create_directories(fs::path(Path(name)).parent_path());
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }
  std::string Ring(const std::string& state, unsigned data_id) const {
    return state + "/device-" + std::to_string(data_id) + ".ring";
  }
  std::string Out(const std::string& name = "host") const { return ReadFile(Path(name + ".out")); }
  std::string Err(const std::string& name = "host") const { return ReadFile(Path(name + ".err")); }

  Process& Start(const std::string& program, const std::vector<std::string>& args,
                 const std::string& name) {
    processes_.push_back(
        std::make_unique<Process>(program, args, Path(name + ".out"), Path(name + ".err")));
    return *processes_.back();
  }
  // Runs a program to its end; its exit status (-1 when it had to be killed).
  int Run(const std::vector<std::string>& args, const std::string& name = "host",
          const std::string& program = programs().host, seconds limit = kRunLimit) {
    Process process(program, args, Path(name + ".out"), Path(name + ".err"));
    return process.Started() ? process.Wait(limit).value_or(-1) : -1;
  }
  // A host polling until stopped, once it has published `records` records.
  Process& StartHost(const std::vector<std::string>& args, const std::string& name,
                     std::size_t records = 2) {
    // Under qemu-user the spawning test goes on before the child has opened
    // (and emptied) its output files: an earlier run's lines must be gone.
    fs::remove(Path(name + ".out"));
    fs::remove(Path(name + ".err"));
    Process& host = Start(programs().host, args, name);
    EXPECT_TRUE(WaitFor([&] { return Records(Out(name)).size() >= records || !host.Running(); }))
        << Err(name);
    return host;
  }
  // A simulator on a pty linked at Path(link); false where no pty can be made.
  bool StartSim(const std::string& link, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--link", Path(link)});
    Process& sim = Start(programs().sim, options, link);
    WaitFor([&] { return fs::exists(Path(link)) || !sim.Running(); });
    return fs::exists(Path(link));
  }
  // A tmpfs of `kib` KiB at Path(name), seen by this test and its programs alone.
  bool MountTmpfs(const std::string& name, int kib) {
    fs::create_directories(Path(name));
    const std::string options = "size=" + std::to_string(kib) + "k";
    if (!own_mounts || ::mount("tmpfs", Path(name).c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return false;
    }
    mounts_.push_back(Path(name));
    return true;
  }

  TempFolder dir_{"host-state"};
  std::vector<std::unique_ptr<Process>> processes_;
  std::vector<std::string> mounts_;
};

// Writes to `path` until the disk is full.
void Fill(const std::string& path) {
  std::ofstream filler(path, std::ios::binary);
  const std::string block(4096, 'F');
  while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
  }
}

TEST_F(HostStateTest, DiskThatFillsAndFreesKeepsEveryEntry) {
  if (!MountTmpfs("disk", 256)) GTEST_SKIP() << "no tmpfs of its own here (not root?)";
  const std::string state = Path("disk/state");
  const std::string one = Write("one.json", Config({Device(101, kAddress, "sim")}));
  ASSERT_EQ(Run({"run", "--config", one, "--cycles", "3", "--state-dir", state}), 0) << Err();
  const auto size = fs::file_size(Ring(state, 101));
  Fill(Path("disk/filler"));
  // Allocated whole when it was made: a full disk does not stop its writes.
  ASSERT_EQ(Run({"run", "--config", one, "--cycles", "4", "--state-dir", state}), 0) << Err();
  EXPECT_EQ(Count(Err(), "cannot write"), 0u) << Err();

  // The ring of a second device cannot be made on the full disk: said once
  // with the reason, retried at every record, made once there is room again.
  const std::string two =
      Write("two.json", Config({Device(101, kAddress, "sim"), Device(102, kAddress, "sim")}));
  Process& host = StartHost({"run", "--config", two, "--state-dir", state}, "daemon", 12);
  fs::remove(Path("disk/filler"));
  EXPECT_TRUE(WaitFor([&] {
    return Err("daemon").find("history written again") != std::string::npos;
  })) << Err("daemon");
  EXPECT_EQ(host.Stop(), std::optional<int>(0));
  const std::string errors = Err("daemon");
  EXPECT_NE(errors.find("102: cannot write the history: " + Ring(state, 102) +
                        ": posix_fallocate: No space left on device"),
            std::string::npos)
      << errors;
  EXPECT_EQ(Count(errors, "cannot write the history"), 1u) << errors;

  const auto first = ParseHistoryEntries(ReadFile(Ring(state, 101)));
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front().sequence, 1u);
  EXPECT_EQ(first.size(), first.back().sequence) << "an entry is missing";
  EXPECT_EQ(fs::file_size(Ring(state, 101)), size);
  const auto second = ParseHistoryEntries(ReadFile(Ring(state, 102)));
  ASSERT_FALSE(second.empty());

  ASSERT_EQ(Run({"run", "--config", two, "--cycles", "1", "--state-dir", state}), 0) << Err();
  EXPECT_NE(Err().find("101: restored entry " + std::to_string(first.back().sequence) + " of"),
            std::string::npos)
      << Err();
  EXPECT_NE(Err().find("102: restored entry " + std::to_string(second.back().sequence) + " of"),
            std::string::npos)
      << Err();
}

// On a full disk the plug-in's log keeps whole lines and a ring that should
// grow goes on as it is: each said once, both done once there is room again.
// The plug-in repeats one line every cycle, which the log counts rather than
// repeats: devices added by each other reload, on a port that is not there,
// give it new lines (their InitSetting trace) each time.
TEST_F(HostStateTest, FullDiskLeavesWholeLinesInThePluginLogAndAResizeForLater) {
  if (!MountTmpfs("disk", 256)) GTEST_SKIP() << "no tmpfs of its own here (not root?)";
  const std::string state = Path("disk/state");
  const std::string log = Path("disk/plugin.log");
  const std::string small = Write(
      "small.json", Config({Device(111, kAddress, "sim")}, R"({"entries": 4, "interval_s": 0})",
                           "\"plugin_log\": \"" + log + "\",\n"));
  ASSERT_EQ(Run({"run", "--config", small, "--cycles", "2", "--state-dir", state}), 0) << Err();
  Fill(Path("disk/filler"));
  // The added devices share the port that is not there, each at an address of its own.
  const auto large = [&](bool with_added) {
    std::vector<std::string> devices = {Device(111, kAddress, "sim")};
    for (unsigned id = 112; with_added && id < 120; ++id) {
      devices.push_back(Device(id, std::to_string(0x80 + id - 110), Path("no-tty"),
                               R"(, "config": {"appSetting": {"b_mode": 1}})"));
    }
    return Write("large.json", Config(devices, R"({"entries": 200, "interval_s": 0})",
                                      "\"plugin_log\": \"" + log + "\",\n"));
  };
  Process& host = StartHost({"run", "--config", large(false), "--state-dir", state}, "daemon");
  bool added = false;
  const auto new_lines = [&] {
    added = !added;
    large(added);
    host.Signal(SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  // The log's last page takes a few lines more; then no more.
  EXPECT_TRUE(WaitFor([&] {
    new_lines();
    return Err("daemon").find("plugin_log " + log + ": No space left on device") !=
           std::string::npos;
  })) << Err("daemon");
  new_lines();
  new_lines();
  const std::string full = Err("daemon");
  fs::remove(Path("disk/filler"));
  EXPECT_TRUE(WaitFor([&] {
    new_lines();
    const std::string errors = Err("daemon");
    return errors.find("made into 200, keeping") != std::string::npos &&
           errors.find("plugin_log " + log + ": written again") != std::string::npos;
  })) << Err("daemon");
  EXPECT_EQ(host.Stop(), std::optional<int>(0));

  const std::string errors = Err("daemon");
  EXPECT_EQ(Count(full, "made into 200, keeping"), 0u) << full;
  EXPECT_EQ(Count(errors, "could not be made into 200: "), 1u) << errors;
  EXPECT_NE(errors.find("kept as it is, tried again at the next record"), std::string::npos);
  EXPECT_EQ(Count(errors, "plugin_log " + log + ": No space left on device"), 1u) << errors;
  EXPECT_EQ(fs::file_size(Ring(state, 111)), kRingHeaderSize + 200 * kRingEntrySize);
  const auto entries = ParseHistoryEntries(ReadFile(Ring(state, 111)));
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.size(), entries.back().sequence - entries.front().sequence + 1);
  const std::string lines = ReadFile(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), '\n');
  static const std::regex kWhole(
      "battery-host: (111 plug-in: (rvSize is 0|last line repeated [0-9]+ times)|(11[2-9]) "
      "plug-in: InitSetting \\3 b_mode_:1)");
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(std::regex_match(line, kWhole)) << line;
  }
}

// A run killed at any moment has saved every record it published: the newest
// entry is the last record published or, killed between saving a record and
// publishing it, the one after it.
TEST_F(HostStateTest, KilledRunsRestoreTheNewestCompletedEntry) {
  const std::string state = Path("state");
  const std::string config = Write(
      "host.json", Config({Device(201, kAddress, "sim")}, R"({"entries": 20, "interval_s": 0})"));
  const int runs = programs().emulator.empty() ? kKilledRuns : kKilledRunsEmulated;
  std::mt19937 random(14);
  std::uint64_t newest = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    // Three records: the first two cycles' entries are written by then.
    Process& host = StartHost({"run", "--config", config, "--state-dir", state}, "host", 3);
    std::this_thread::sleep_for(milliseconds(static_cast<long>(random() % 40)));
    host.Kill();
    processes_.clear();
    if (newest != 0) {
      ASSERT_NE(Err().find("restored entry " + std::to_string(newest) + " of"), std::string::npos)
          << Err();
    }
    const auto entries = ParseHistoryEntries(ReadFile(Ring(state, 201)));
    const auto records = Records(Out());
    ASSERT_GE(entries.size(), 2u);
    ASSERT_FALSE(records.empty());
    const Measurement published = FromRecordJson(records.back());
    EXPECT_TRUE(published == entries.back().measurement ||
                published == entries[entries.size() - 2].measurement)
        << "the newest entry is neither the last record published nor the one after it";
    newest = entries.back().sequence;
  }
}

// 100,000 cycles of a monitor that answers at once: a hundred laps of the ring.
TEST_F(HostStateTest, RingKeepsItsSizeLapAfterLap) {
  const std::string state = Path("state");
  const std::string config = Write(
      "host.json",
      Config({R"({"data_id": 301, "address": "0x81", "port": "sim", "sim": {"latency_ms": 0}})"},
             R"({"entries": 1000, "interval_s": 0})"));
  const int cycles = programs().emulator.empty() ? kLappingCycles : kLappingCyclesEmulated;
  // A hundred megabytes of record lines: not kept.
  Process host(
      programs().host,
      {"run", "--config", config, "--cycles", std::to_string(cycles), "--state-dir", state},
      "/dev/null", Path("host.err"));
  ASSERT_EQ(host.Wait(kLappingRunLimit), std::optional<int>(0)) << Err();
  EXPECT_EQ(fs::file_size(Ring(state, 301)), kRingHeaderSize + 1000 * kRingEntrySize);
  const auto entries = ParseHistoryEntries(ReadFile(Ring(state, 301)));
  ASSERT_EQ(entries.size(), 1000u);
  EXPECT_EQ(entries.front().sequence, static_cast<std::uint64_t>(cycles) - 999);
  EXPECT_EQ(entries.back().sequence, static_cast<std::uint64_t>(cycles));
}

TEST_F(HostStateTest, HistoryThatMayNotBeWrittenIsStillRestored) {
  if (!MountTmpfs("ro", 256)) GTEST_SKIP() << "no tmpfs of its own here (not root?)";
  const std::string state = Path("ro/state");
  const std::string config = Write("host.json", Config({Device(501, kAddress, "sim")}));
  ASSERT_EQ(Run({"run", "--config", config, "--cycles", "3", "--state-dir", state}), 0) << Err();
  ASSERT_EQ(::mount(nullptr, Path("ro").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);
  ASSERT_EQ(Run({"run", "--config", config, "--cycles", "4", "--state-dir", state}), 0) << Err();
  EXPECT_NE(Err().find("open: Read-only file system: opened read-only"), std::string::npos)
      << Err();
  EXPECT_NE(Err().find("restored entry 3 of"), std::string::npos) << Err();
  EXPECT_EQ(Count(Err(), "cannot write the history: " + Ring(state, 501) +
                             ": open: Read-only file system; retried at the next record"),
            1u)
      << Err();
  EXPECT_EQ(ParseHistoryEntries(ReadFile(Ring(state, 501))).size(), 3u);
}

TEST_F(HostStateTest, FifoInPlaceOfTheHistoryIsRefusedWithoutWaiting) {
  const std::string state = Path("state");
  fs::create_directories(state);
  ASSERT_EQ(::mkfifo(Ring(state, 601).c_str(), 0644), 0);
  const std::string config = Write("host.json", Config({Device(601, kAddress, "sim")}));
  ASSERT_EQ(Run({"run", "--config", config, "--cycles", "2", "--state-dir", state}), 0) << Err();
  EXPECT_NE(Err().find("not a regular file but a FIFO: refused"), std::string::npos) << Err();
  EXPECT_EQ(Records(Out()).size(), 2u);
}

TEST_F(HostStateTest, SecondHostOnTheStateDirectoryIsRefused) {
  const std::string state = Path("state");
  const std::string config = Write("host.json", Config({Device(701, kAddress, "sim")}));
  const Process& first = StartHost({"run", "--config", config, "--state-dir", state}, "first");
  EXPECT_EQ(Run({"run", "--config", config, "--cycles", "1", "--state-dir", state}), 1);
  EXPECT_NE(Err().find("state directory " + state + " is in use by PID " +
                       std::to_string(first.Pid()) + " (battery-host)"),
            std::string::npos)
      << Err();
  EXPECT_TRUE(Records(Out()).empty());
}

TEST_F(HostStateTest, SecondHostOnThePortIsRefused) {
  if (!StartSim("ttyBAT0")) GTEST_SKIP() << "no pseudo-terminal here: " << Err("ttyBAT0");
  const std::string config = Write("host.json", Config({Device(801, "129", Path("ttyBAT0"))}));
  const Process& first =
      StartHost({"run", "--config", config, "--state-dir", Path("first")}, "first");
  EXPECT_EQ(Run({"run", "--config", config, "--cycles", "1", "--state-dir", Path("second")}), 1);
  const std::string holder = "in use by PID " + std::to_string(first.Pid());
  EXPECT_NE(Err().find(Path("ttyBAT0") + ": " + holder), std::string::npos) << Err();
  if (programs().emulator.empty()) {
    EXPECT_NE(Err().find(holder + " (battery-host)"), std::string::npos) << Err();
  }
}

struct BadConfig {
  const char* name;
  std::string device;    // the one device, or two
  std::string more;      // top-level members before "devices", from line 3
  std::string expected;  // "{dir}" stands for the test's folder
  std::string history = "{}";
  std::string fifo = "";  // made in the test's folder first
};
void PrintTo(const BadConfig& c, std::ostream* out) {
  *out << c.name;
}

class ConfigMistakeTest : public HostStateTest, public ::testing::WithParamInterface<BadConfig> {};

TEST_P(ConfigMistakeTest, IsSaidByCheckConfigAndRun) {
  const std::string path =
      Write("host.json", Config({GetParam().device}, GetParam().history, GetParam().more));
  if (!GetParam().fifo.empty()) {
    ASSERT_EQ(::mkfifo(Path(GetParam().fifo).c_str(), 0644), 0);
  }
  std::string expected = GetParam().expected;
  if (const auto at = expected.find("{dir}"); at != std::string::npos) {
    expected.replace(at, 5, dir_.Folder().string());
  }
  EXPECT_EQ(Run({"check-config", path}), 2);
  EXPECT_NE(Out().find(expected), std::string::npos) << Out();
  EXPECT_EQ(Run({"run", "--config", path, "--state-dir", Path("state")}), 2);
  EXPECT_NE(Err().find(expected), std::string::npos) << Err();
  EXPECT_FALSE(fs::exists(Path("state")));
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, ConfigMistakeTest,
    ::testing::Values(
        BadConfig{"address_text", Device(1, "\"12a\"", "sim"), "",
                  "devices[0].address: expected an integer from 0 to 255 (decimal or 0x hex)"},
        BadConfig{"empty_port", Device(1, kAddress, ""), "",
                  "devices[0].port: expected \"sim\", \"sim:NAME\" or the absolute path"},
        BadConfig{"upper_case_sim", Device(1, kAddress, "SIM"), "", "found 'SIM'"},
        BadConfig{"relative_path", Device(1, kAddress, "ttyUSB0"), "", "found 'ttyUSB0'"},
        BadConfig{"dev_null", Device(1, kAddress, "/dev/null"), "",
                  "devices[0].port: /dev/null is a character device of class 'mem'"},
        BadConfig{"regular_file", Device(1, kAddress, "/etc/passwd"), "",
                  "/etc/passwd is a regular file, not a serial port"},
        BadConfig{"shared_address",
                  Device(1, kAddress, "sim:bus") + ",\n" + Device(2, kAddress, "sim:bus"), "",
                  "devices[1].address: address 129 is used by devices[0] on the same port sim:bus"},
        BadConfig{"history_entries", Device(1, kAddress, "sim"), "",
                  "history.entries: expected an integer from 1 to 1000000", "{\"entries\": 0}"},
        BadConfig{"open_timeout", Device(1, kAddress, "sim"), "\"open_timeout_s\": 0,\n",
                  "open_timeout_s: expected an integer from 1 to 86400"},
        BadConfig{"port_not_utf8", Device(1, kAddress, "/dev/tty\xff"), "",
                  "devices[0].port: not valid UTF-8"},
        BadConfig{"plugin_log_folder", Device(1, kAddress, "sim"), "\"plugin_log\": \".\",\n",
                  "host.json:3: plugin_log: {dir}/. is a directory, not a regular file"},
        BadConfig{"plugin_log_fifo", Device(1, kAddress, "sim"), "\"plugin_log\": \"log\",\n",
                  "host.json:3: plugin_log: {dir}/log is a FIFO, not a regular file", "{}", "log"},
        BadConfig{"plugin_log_folder_missing", Device(1, kAddress, "sim"),
                  "\"plugin_log\": \"logs/p.log\",\n",
                  "host.json:3: plugin_log: {dir}/logs/p.log: its folder"},
        BadConfig{"state_dir_file", Device(1, kAddress, "sim"), "\"state_dir\": \"host.json\",\n",
                  "host.json:3: state_dir: {dir}/host.json is a regular file, not a directory"},
        BadConfig{"state_dir_under_etc", Device(1, kAddress, "sim"), "\"state_dir\": \"/etc/x\",\n",
                  "host.json:3: state_dir: /etc/x lies under /etc, among installed files"},
        BadConfig{"plugin_missing", Device(1, kAddress, "sim"), "\"plugin\": \"libnone.so\",\n",
                  "host.json:3: plugin: {dir}/libnone.so: No such file or directory"},
        BadConfig{"plugin_not_a_library", Device(1, kAddress, "sim"),
                  "\"plugin\": \"host.json\",\n",
                  "host.json:3: plugin: {dir}/host.json is not a shared library (no ELF header)"}),
    [](const auto& test) { return std::string(test.param.name); });

// Configuration files that could make the host wait or fill its memory, and
// the commonest mistakes in naming one.
TEST_F(HostStateTest, HostileConfigurationFilesAreRefusedAtOnce) {
  const std::pair<std::function<std::string()>, std::string> cases[] = {
      {[&] {
         return Write("deep.json",
                      "{\"devices\":\n\n" + std::string(1000, '[') + std::string(1000, ']') + "}");
       },
       ":3: column 64: nested deeper than 64 levels"},
      {[&] { return Write("large.json", std::string(1 << 20, ' ') + "{}"); },
       ":0: is larger than 1048576 bytes"},
      {[&] {
         ::mkfifo(Path("fifo.json").c_str(), 0644);
         return Path("fifo.json");
       },
       ":0: is a FIFO, not a regular file"},
      {[&] {
         fs::create_directory(Path("folder.json"));
         return Path("folder.json");
       },
       ":0: is a directory, not a regular file"},
      {[&] { return Path("missing.json"); }, ":0: cannot be read: No such file or directory"},
      {[] { return std::string("/dev/zero"); }, ":0: is a character device, not a regular file"}};
  for (const auto& [make, expected] : cases) {
    const std::string path = make();
    EXPECT_EQ(Run({"check-config", path}, "host", programs().host, kRefusalLimit), 2);
    EXPECT_NE(Out().find(path + expected), std::string::npos) << Out();
    EXPECT_EQ(Run({"run", "--config", path, "--state-dir", Path("state")}, "host", programs().host,
                  kRefusalLimit),
              2);
    EXPECT_NE(Err().find(path + expected), std::string::npos) << Err();
  }
  EXPECT_FALSE(fs::exists(Path("state")));
}

// TLS files that OpenSSL would refuse: check-config finds those that hold no
// PEM block, and run refuses every one with exit 2 (a restart cannot mend
// them), naming the file.
TEST_F(HostStateTest, TlsFilesThatAreNotPemAreConfigurationFaults) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) GTEST_SKIP() << "no openssl here to make a certificate";
  const std::string make = "cd '" + Path("") + "' && '" + openssl +
                           "' req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                           "-subj /CN=ca -days 2 -keyout ca.key -out ca.crt >tools.log 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << ReadFile(Path("tools.log"));
  struct TlsCase {
    const char* name;
    std::string ca_text;   // written as the CA file; empty: the certificate made above
    std::string key_text;  // written as the client key; empty: the key made above
    int check_exit;
    const char* said;
  };
  const TlsCase cases[] = {
      {"empty CA file", "\n", "", 2, "holds no PEM certificate"},
      {"text as CA file", "the CA of the site\n", "", 2, "holds no PEM certificate"},
      {"text as key", "", "not a key\n", 2, "holds no PEM private key"},
      // A block OpenSSL cannot decode passes the check; run refuses it.
      {"broken block", "-----BEGIN CERTIFICATE-----\nbm90\n-----END CERTIFICATE-----\n", "", 0,
       "cafile.pem"},
  };
  for (const TlsCase& test : cases) {
    SCOPED_TRACE(test.name);
    Write("cafile.pem", test.ca_text.empty() ? ReadFile(Path("ca.crt")) : test.ca_text);
    Write("client.key", test.key_text.empty() ? ReadFile(Path("ca.key")) : test.key_text);
    const std::string mqtt =
        "\"mqtt\": {\"host\": \"localhost\", \"port\": " + std::to_string(FreePort()) +
        ", \"tls\": {\"ca_file\": \"cafile.pem\", \"cert_file\": \"ca.crt\", "
        "\"key_file\": \"client.key\"}},\n";
    const std::string path =
        Write("host.json",
              Config({Device(1, kAddress, "sim")}, R"({"entries": 50, "interval_s": 0})", mqtt));
    EXPECT_EQ(Run({"check-config", path}, "host", programs().host, kRefusalLimit), test.check_exit)
        << Out();
    if (test.check_exit != 0) {
      EXPECT_NE(Out().find(test.said), std::string::npos) << Out();
    }
    EXPECT_EQ(Run({"run", "--config", path, "--state-dir", Path("state")}, "host", programs().host,
                  kRefusalLimit),
              2);
    EXPECT_NE(Err().find(test.said), std::string::npos) << Err();
  }
}

// A link to a pty and the pty itself are one port: run would fail to open it twice.
TEST_F(HostStateTest, TwoNamesForOnePortAreRefused) {
  if (!StartSim("ttyBAT0")) GTEST_SKIP() << "no pseudo-terminal here: " << Err("ttyBAT0");
  const std::string link = Path("ttyBAT0");
  const std::string pty = fs::read_symlink(link).string();
  const std::string path =
      Write("host.json", Config({Device(1, "129", link), Device(2, "129", pty)}));
  EXPECT_EQ(Run({"check-config", path}), 2);
  EXPECT_NE(Out().find("devices[1].port: " + pty + " names the same serial port as " +
                       "devices[0].port (" + link + "): use one name"),
            std::string::npos)
      << Out();
  EXPECT_NE(Out().find("devices[1].address: address 129 is used by devices[0]"), std::string::npos)
      << Out();
  EXPECT_EQ(Run({"run", "--config", path, "--state-dir", Path("state")}), 2);
  EXPECT_NE(Err().find("is not valid; nothing started"), std::string::npos) << Err();
}

// What passes the checks, or comes from the command line in place of the
// configuration, and fails only as run starts: a configuration fault all the same.
TEST_F(HostStateTest, NamedFilesThatFailAtStartEndTheRunWithStatusTwo) {
  const std::string config = Write("host.json", Config({Device(1, kAddress, "sim")}));
  // A program is an ELF shared object too, but one that dlopen refuses.
  const std::string program = fs::absolute(programs().host).string();
  const std::string program_as_plugin =
      Write("program.json",
            Config({Device(1, kAddress, "sim")}, "{}", "\"plugin\": \"" + program + "\",\n"));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--config", config, "--plugin", config}, "run: --plugin: cannot load plug-in: " + config},
      {{"--config", config, "--state-dir", config + "/state"},
       "run: --state-dir: " + config + "/state: cannot be made: Not a directory"},
      {{"--config", config, "--state-dir", "/usr/share/x"},
       "run: --state-dir: /usr/share/x lies under /usr, among installed files"},
      {{"--config", program_as_plugin, "--state-dir", Path("state")},
       "run: " + program_as_plugin + ": plugin: cannot load plug-in: " + program}};
  for (const auto& [options, expected] : cases) {
    std::vector<std::string> args = {"run", "--cycles", "1"};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_EQ(Run(args), 2) << Err();
    EXPECT_NE(Err().find(expected), std::string::npos) << Err();
  }
}

TEST_F(HostStateTest, PortNotThereYetIsAWarningAndEndsACountedRunAtItsTimeout) {
  const std::string port = Path("usb/ttyUSB0");
  const std::string path =
      Write("host.json",
            Config({Device(1, kAddress, port)}, R"({"entries": 5})", "\"open_timeout_s\": 1,\n"));
  EXPECT_EQ(Run({"check-config", path}), 0);
  EXPECT_NE(Out().find("warning: devices[0].port: " + port + " does not exist (yet)"),
            std::string::npos)
      << Out();
  EXPECT_EQ(Run({"run", "--config", path, "--cycles", "2", "--state-dir", Path("state")}), 1);
  EXPECT_NE(Err().find(port + ": not opened within 1 s (open_timeout_s); the run ends"),
            std::string::npos)
      << Err();
}

TEST_F(HostStateTest, DefaultStateDirectoryLiesBesideTheConfiguration) {
  const std::string config = Write("site/host.json", Config({Device(901, kAddress, "sim")}));
  ASSERT_EQ(Run({"run", "--config", config, "--cycles", "1"}), 0) << Err();
  EXPECT_TRUE(fs::exists(Ring(Path("site/battery-state"), 901))) << Err();
}

struct CommandLine {
  const char* name;
  bool simulator;
  std::vector<std::string> args;
  int status;
  bool on_error_stream;
  std::string expected;
};
void PrintTo(const CommandLine& c, std::ostream* out) {
  *out << c.name;
}

class CommandLineTest : public HostStateTest, public ::testing::WithParamInterface<CommandLine> {};

TEST_P(CommandLineTest, HelpOnStandardOutputMistakesNamed) {
  const CommandLine& line = GetParam();
  EXPECT_EQ(Run(line.args, "cli", line.simulator ? programs().sim : programs().host), line.status);
  const std::string wanted = line.on_error_stream ? Err("cli") : Out("cli");
  EXPECT_NE(wanted.find(line.expected), std::string::npos) << Out("cli") << Err("cli");
}

INSTANTIATE_TEST_SUITE_P(
    Programs, CommandLineTest,
    ::testing::Values(
        CommandLine{"host_help", false, {"--help"}, 0, false, "Usage: battery-host"},
        CommandLine{"run_help", false, {"run", "--help"}, 0, false, "--cycles"},
        CommandLine{"check_help", false, {"check-config", "--help"}, 0, false, "FILE"},
        CommandLine{"replay_help", false, {"replay", "--help"}, 0, false, "SCRIPT"},
        CommandLine{"sim_help", true, {"--help"}, 0, false, "--unplug-after"},
        CommandLine{"bad_cycles",
                    false,
                    {"run", "--config", "h.json", "--cycles", "0"},
                    2,
                    true,
                    "--cycles: expected an integer from 1 to"},
        CommandLine{"bad_rate",
                    true,
                    {"--split", "1.5"},
                    2,
                    true,
                    "--split: expected a number from 0 to 1, found '1.5'"},
        CommandLine{"no_subcommand", false, {}, 2, true, "A subcommand is required"},
        CommandLine{"unknown_subcommand",
                    false,
                    {"frob"},
                    2,
                    true,
                    "battery-host: unknown subcommand 'frob'; expected one of: "
                    "replay run check-config"},
        CommandLine{
            "host_version", false, {"--version"}, 0, false, "battery-host " BATTERY_VERSION "\n"},
        CommandLine{"sim_version",
                    true,
                    {"--version"},
                    0,
                    false,
                    "battery-monitor-sim " BATTERY_VERSION "\n"}),
    [](const auto& test) { return std::string(test.param.name); });

// The wire carries no negative current or temperature: the simulator says so
// once per kind of value, however many answers carry the clamped value.
TEST_F(HostStateTest, SimulatorWarnsOnceOfEachValueItCannotEncode) {
  if (!StartSim("ttyNEG0", {"--current", "-5", "--temperature", "-10", "--no-pacing"})) {
    GTEST_SKIP() << "no pseudo-terminal here: " << Err("ttyNEG0");
  }
  const std::string config = Write("host.json", Config({Device(1, "129", Path("ttyNEG0"))}));
  ASSERT_EQ(Run({"run", "--config", config, "--cycles", "3", "--state-dir", Path("state")}), 0)
      << Err();
  processes_.clear();
  const std::string err = Err("ttyNEG0");
  const std::pair<std::string, std::string> warnings[] = {
      {"warning: the current -", " A cannot be encoded (0 to 6553.5 A): sent 0 A instead\n"},
      {"warning: the temperature -",
       " °C cannot be encoded (0 to 655.35 °C): sent 0 °C instead\n"}};
  for (const auto& [start, end] : warnings) {
    const auto at = err.find(start);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_NE(err.find(end, at), std::string::npos) << err;
    EXPECT_EQ(err.find(start, at + 1), std::string::npos) << "said twice: " << err;
  }
  EXPECT_EQ(err.find("cell voltage"), std::string::npos) << err;
}

TEST_F(HostStateTest, SimulatorReplacesOnlyADanglingLinkAndRemovesOnlyItsOwn) {
  Write("taken", "a file, not a link");
  EXPECT_EQ(Run({"--link", Path("taken")}, "sim", programs().sim), 1);
  EXPECT_NE(Err("sim").find("exists and is not a symbolic link: not replaced"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("taken")), "a file, not a link");
  EXPECT_EQ(Run({"--log", Path("missing/sim.log")}, "sim", programs().sim), 1);
  EXPECT_NE(Err("sim").find("cannot open the log"), std::string::npos) << Err("sim");

  fs::create_symlink(Path("gone"), Path("ttyLNK0"));
  if (!StartSim("ttyLNK0")) GTEST_SKIP() << "no pseudo-terminal here: " << Err("ttyLNK0");
  const fs::path pty = fs::read_symlink(Path("ttyLNK0"));
  EXPECT_NE(pty, fs::path(Path("gone")));
  // A second simulator leaves the first one's link alone, also when it ends.
  EXPECT_EQ(Run({"--link", Path("ttyLNK0")}, "sim", programs().sim), 1);
  EXPECT_NE(Err("sim").find("which exists (another simulator's pty?): not replaced"),
            std::string::npos)
      << Err("sim");
  EXPECT_EQ(fs::read_symlink(Path("ttyLNK0")), pty);
  processes_.clear();
  EXPECT_FALSE(fs::is_symlink(Path("ttyLNK0")));
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!e2e::ReadProgramArguments(argc, argv, true)) return 2;
  // A mount namespace of its own, whose mounts never reach the machine's.
  e2e::own_mounts = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return RUN_ALL_TESTS();
}
