// The host configuration: what is read, and every problem named by file,
// line and key.

#include <elf.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/config/named_files.h"

namespace {

TEST(HostConfigTest, CompleteDeviceIsRead) {
  const LoadedConfig loaded = ParseHostConfig("h.json", R"({
  "poll_interval_ms": 250, "state_dir": "st",
  "ports": {"/dev/ttyUSB0": {"echo": true, "quiet_ms": 20, "answer_timeout_ms": 120}},
  "devices": [{"data_id": 9, "address": "0x81", "port": "/dev/ttyUSB0", "poll_interval_ms": 0,
               "config": {"appSetting": {"version": "2", "current_ratio": 1}},
               "thresholds": {"temperature": {"high": 40, "hysteresis": 1, "level": 3}}}]})");
  ASSERT_TRUE(loaded.Valid()) << FormatProblem(loaded.problems.front());
  const HostConfig& config = loaded.config;
  EXPECT_EQ(config.poll_interval, std::chrono::milliseconds(250));
  EXPECT_EQ(config.PollInterval(config.devices.at(0)), std::chrono::milliseconds(0));
  EXPECT_EQ(config.Port("/dev/ttyUSB0").answer_timeout, std::chrono::milliseconds(120));
  EXPECT_FALSE(config.Port("/dev/ttyUSB1").answer_timeout.has_value());
  EXPECT_TRUE(config.Port("/dev/ttyUSB0").echo);
  EXPECT_FALSE(config.Port("/dev/ttyUSB1").echo);
  EXPECT_EQ(config.Port("/dev/ttyUSB0").quiet, std::chrono::milliseconds(20));
  EXPECT_EQ(config.Port("/dev/ttyUSB1").quiet, std::chrono::milliseconds(0));
  ASSERT_EQ(config.devices.size(), 1u);
  const DeviceConfig& device = config.devices.front();
  EXPECT_EQ(device.address, 0x81);
  EXPECT_EQ(device.sim.address, 0x01);
  EXPECT_EQ(device.sim.version, 2);
  EXPECT_TRUE(device.sim.offset_current);
  EXPECT_EQ(device.plugin_config["appSetting"]["version"].asString(), "2");
  EXPECT_EQ(*device.thresholds.at("temperature").high, 40.0f);
  EXPECT_EQ(device.thresholds.at("temperature").level, 3);
  EXPECT_EQ(DeviceName(device), "Battery monitor 9");
  EXPECT_EQ(device.cell_start, 0);
}

// The name shown upstream and where the plug-in starts numbering the cells.
TEST(HostConfigTest, NameAndCellNumbering) {
  struct Case {
    const char* device;  // members after data_id, address and port
    const char* name;
    int cell_start;
  };
  for (const Case& c : {
           Case{R"("name": "Rack A 第1组")", "Rack A 第1组", 0},
           Case{R"("config": {"appSetting": {"battery_start": 32}})", "Battery monitor 3", 32},
           Case{R"("config": {"appSetting": {"group_index": 2, "amount": 15}})",
                "Battery monitor 3", 17},
           Case{R"("config": {"appSetting": {"group_index": 2, "amount": 15, "battery_start": 5}})",
                "Battery monitor 3", 5},
       }) {
    const LoadedConfig loaded = ParseHostConfig(
        "h.json", std::string(R"({"devices": [{"data_id": 3, "address": 129, "port": "sim", )") +
                      c.device + "}]}");
    ASSERT_TRUE(loaded.Valid()) << c.device << ": " << FormatProblem(loaded.problems.front());
    EXPECT_EQ(DeviceName(loaded.config.devices.at(0)), c.name) << c.device;
    EXPECT_EQ(loaded.config.devices.at(0).cell_start, c.cell_start) << c.device;
  }
}

struct ProblemCase {
  const char* name;
  std::string device;  // members of the one device, after data_id, address and port
  std::string expected;
  bool warning;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const ProblemCase& c, std::ostream* out) {
  *out << c.name;
}

class HostConfigProblemTest : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(HostConfigProblemTest, NamesLineAndKey) {
  const std::string text = "{\"devices\": [\n{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"" +
                           GetParam().device + "}]}";
  const LoadedConfig loaded = ParseHostConfig("h.json", text);
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_NE(all.find(GetParam().expected), std::string::npos) << all;
  EXPECT_EQ(loaded.Valid(), GetParam().warning) << all;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Problems, HostConfigProblemTest,
    ::testing::Values(
        ProblemCase{"object_setting", ",\n\"config\": {\"appSetting\": {\"group_a\": {}}}", "h.json:3: devices[0].config.appSetting.group_a: expected a single value", false},
        ProblemCase{"array_in_list", ",\n\"config\": {\"appSetting\": {\"active_batteries\": [1, [2]]}}", "h.json:3: devices[0].config.appSetting.active_batteries[1]: expected a single", false},
        ProblemCase{"threshold_part", ",\n\"config\": {\"appSetting\": {\"b_mode\": 3}, \"thresholdSetting\": {\"temperature\": {\"ID\": [1]}}}", "devices[0].config.thresholdSetting.temperature.ID: expected a single", false},
        ProblemCase{"threshold_array", ",\n\"config\": {\"appSetting\": {\"b_mode\": \"3\"}, \"thresholdSetting\": []}", "thresholdSetting: expected an object keyed by variable name", false},
        ProblemCase{"unknown_device_key", ",\n\"adress\": 1", "h.json:3: devices[0].adress: unknown key", false},
        ProblemCase{"unknown_variable", ",\n\"thresholds\": {\"voltage\": {\"high\": 1}}", "devices[0].thresholds.voltage: not a variable", false},
        ProblemCase{"cell_with_leading_zero", ",\n\"thresholds\": {\"battery_07_value\": {\"high\": 1}}", "devices[0].thresholds.battery_07_value: not a variable", false},
        ProblemCase{"cell_past_the_last", ",\n\"thresholds\": {\"battery_32_value\": {\"high\": 1}}", "devices[0].thresholds.battery_32_value: not a variable", false},
        ProblemCase{"low_above_high", ",\n\"thresholds\": {\"temperature\": {\"high\": 1, \"low\": 2}}", "expected \"low\" below \"high\"", false},
        ProblemCase{"fault_rates", ",\n\"sim\": {\"faults\": {\"split\": 0.8, \"late\": 0.5}}", "devices[0].sim.faults: expected rates that add up to 0 .. 1", false},
        ProblemCase{"unread_setting", ",\n\"config\": {\"appSetting\": {\"group_A\": 2}}", "warning: devices[0].config.appSetting.group_A: not a setting", true},
        ProblemCase{"text_read_as_zero", ",\n\"config\": {\"appSetting\": {\"version\": \"two\"}}", "warning: devices[0].config.appSetting.version: 'two' has no leading number", true},
        ProblemCase{"empty_name", ",\n\"name\": \"\"", "h.json:3: devices[0].name: expected 1 to 255 bytes of text", false},
        ProblemCase{"long_name", ",\n\"name\": \"" + std::string(256, 'x') + "\"", "h.json:3: devices[0].name: expected 1 to 255 bytes of text", false},
        ProblemCase{"name_not_utf8", ",\n\"name\": \"Rack \xff\"", "h.json:3: devices[0].name: not valid UTF-8", false},
        ProblemCase{"name_not_text", ",\n\"name\": 7", "h.json:3: devices[0].name: expected a string", false},
        ProblemCase{"threshold_mode", ",\n\"config\": {\"thresholdSetting\": {}}", "warning: devices[0].config.thresholdSetting: read only when", true}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST(HostConfigTest, LowAddressIsWarnedAbout) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json", R"({"devices": [{"data_id": 1, "address": 1, "port": "sim"}]})");
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_TRUE(loaded.problems.front().warning);
  EXPECT_NE(loaded.problems.front().message.find("configured as 129"), std::string::npos);
}

// Decimal or 0x hex, blanks around ignored; never octal.
TEST(HostConfigTest, AddressesAreDecimalOrHex) {
  const std::pair<const char*, int> cases[] = {
      {"\"0200\"", 200}, {"\" 0x81 \"", 129}, {"\"0X7f\"", 127}, {"129", 129},
      {"\"256\"", -1},   {"\"0x\"", -1},      {"\"1e2\"", -1},   {"\"-1\"", -1},
      {"\"+5\"", -1},    {"\"0x1G\"", -1},    {"\"\"", -1},      {"\"0o7\"", -1}};
  for (const auto& [text, address] : cases) {
    const LoadedConfig loaded = ParseHostConfig(
        "h.json",
        std::string(R"({"devices": [{"data_id": 1, "port": "sim", "address": )") + text + "}]}");
    EXPECT_EQ(loaded.Valid(), address >= 0) << text;
    if (address >= 0 && !loaded.config.devices.empty()) {
      EXPECT_EQ(loaded.config.devices.front().address, address) << text;
    }
  }
}

TEST(HostConfigTest, MissingKeysAndBadAddress) {
  const LoadedConfig loaded =
      ParseHostConfig("h.json", "{\"devices\": [{\"address\": \"0x1G0\"}]}");
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_NE(all.find("devices[0].data_id: missing"), std::string::npos) << all;
  EXPECT_NE(all.find("devices[0].port: missing"), std::string::npos) << all;
  EXPECT_NE(all.find("devices[0].address: expected an integer from 0 to 255"), std::string::npos)
      << all;
}

struct PortCase {
  const char* name;
  std::string port;      // members of the port's settings, as JSON text
  std::string expected;  // part of the one problem; empty: none
  bool warning;
};
// Printed by name: gtest's fallback would print the padding bytes too.
void PrintTo(const PortCase& c, std::ostream* out) {
  *out << c.name;
}

class PortSettingsTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortSettingsTest, QuietGapAndAnswerTimeoutAreChecked) {
  const LoadedConfig loaded = ParseHostConfig(
      "h.json", "{\"ports\": {\"/dev/ttyS0\":\n {" + GetParam().port +
                    "}},\n \"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": "
                    "\"/dev/ttyS0\"}]}");
  if (GetParam().expected.empty()) {
    EXPECT_TRUE(loaded.problems.empty()) << FormatProblem(loaded.problems.front());
    return;
  }
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_NE(FormatProblem(loaded.problems.front()).find(GetParam().expected), std::string::npos)
      << FormatProblem(loaded.problems.front());
  EXPECT_EQ(loaded.Valid(), GetParam().warning);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Values, PortSettingsTest,
    ::testing::Values(
        PortCase{"quiet", "\"quiet_ms\": 20", "", true},
        PortCase{"quiet_off", "\"quiet_ms\": 0", "", true},
        PortCase{"quiet_fraction", "\"quiet_ms\": 2.5", "h.json:2: ports./dev/ttyS0.quiet_ms: expected an integer from 0 to 1000", false},
        PortCase{"quiet_too_long", "\"quiet_ms\": 1001", "expected an integer from 0 to 1000, found 1001", false},
        PortCase{"quiet_text", "\"quiet_ms\": \"10\"", "expected an integer from 0 to 1000, found a string", false},
        PortCase{"timeout_covers_the_cell_answer", "\"answer_timeout_ms\": 43", "", true},
        PortCase{"timeout_below_the_cell_answer", "\"answer_timeout_ms\": 20", "warning: ports./dev/ttyS0.answer_timeout_ms: below 43 ms", true},
        PortCase{"timeout_below_answer_and_gap", "\"quiet_ms\": 20, \"answer_timeout_ms\": 60", "warning: ports./dev/ttyS0.answer_timeout_ms: below 63 ms", true},
        PortCase{"timeout_zero", "\"answer_timeout_ms\": 0", "expected an integer from 1 to 60000", false},
        PortCase{"paced_on_a_real_port", "\"paced\": false", "warning: ports./dev/ttyS0.paced: used only with a sim port", true}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

struct HttpCase {
  const char* name;
  std::string http;      // the "http" member's value
  std::string expected;  // the problem ("" for none), or the address read back
  bool valid;
};
void PrintTo(const HttpCase& c, std::ostream* out) {
  *out << c.name;
}

class HttpSettingsTest : public ::testing::TestWithParam<HttpCase> {};

// Only addresses, IPv6 in brackets; anything but loopback is the user's
// explicit choice, warned about.
TEST_P(HttpSettingsTest, ListenAddressIsReadOrNamed) {
  const LoadedConfig loaded = ParseHostConfig(
      "h.json", "{\"http\": " + GetParam().http +
                    ",\n \"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"}]}");
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_EQ(loaded.Valid(), GetParam().valid) << all;
  const auto& listen = loaded.config.http.listen;
  if (all.empty() && GetParam().valid) {
    ASSERT_TRUE(listen);
    EXPECT_TRUE(listen->loopback);
    EXPECT_EQ(listen->Text(), GetParam().expected);
  } else {
    EXPECT_NE(all.find(GetParam().expected), std::string::npos) << all;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Values, HttpSettingsTest,
    ::testing::Values(
        HttpCase{"ipv4_loopback", R"({"listen": "127.0.0.1:8080"})", "127.0.0.1:8080", true},
        HttpCase{"ipv6_loopback", R"({"listen": "[::1]:8080"})", "[::1]:8080", true},
        HttpCase{"any_port", R"({"listen": "127.0.0.2:0"})", "127.0.0.2:0", true},
        HttpCase{"every_interface", R"({"listen": "0.0.0.0:8080"})", "h.json:1: warning: http.listen: not a loopback address", true},
        HttpCase{"ipv6_every_interface", R"({"listen": "[::]:80"})", "warning: http.listen: not a loopback address", true},
        HttpCase{"ipv6_without_brackets", R"({"listen": "::1:8080"})", "http.listen: an IPv6 address goes in brackets", false},
        HttpCase{"ipv4_in_brackets", R"({"listen": "[127.0.0.1]:8080"})", "'127.0.0.1' is not an IPv6 address", false},
        HttpCase{"host_name", R"({"listen": "localhost:8080"})", "'localhost' is not an IP address", false},
        HttpCase{"no_port", R"({"listen": "127.0.0.1"})", "expected ADDRESS:PORT", false},
        HttpCase{"port_too_big", R"({"listen": "127.0.0.1:65536"})", "port: expected an integer from 0 to 65535", false},
        HttpCase{"number", R"({"listen": 8080})", "http.listen: expected a string", false},
        HttpCase{"unknown_key", R"({"listen": "127.0.0.1:80", "tls": true})", "http.tls: unknown key", false}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// Settings of a port that no device names are said to be ignored; "sim"
// settings apply to every device on a plain "sim" port.
TEST(HostConfigTest, PortSettingsOfNoDeviceAreSaidToBeIgnored) {
  const struct {
    const char* settings_of;
    const char* device_port;
    bool ignored;
  } cases[] = {{"sim", "sim", false},
               {"sim:a", "sim:a", false},
               {"sim:a", "sim", true},
               {"sim", "sim:a", true}};
  for (const auto& c : cases) {
    const LoadedConfig loaded =
        ParseHostConfig("h.json", std::string("{\"ports\": {\"") + c.settings_of +
                                      "\": {\"paced\": false}},\n \"devices\": [{\"data_id\": 1, "
                                      "\"address\": 129, \"port\": \"" +
                                      c.device_port + "\"}]}");
    const std::string all = loaded.problems.empty() ? "" : FormatProblem(loaded.problems.front());
    EXPECT_EQ(loaded.problems.size(), c.ignored ? 1u : 0u) << c.settings_of << ": " << all;
    EXPECT_EQ(all.find("not the port of any device: ignored") != std::string::npos, c.ignored)
        << c.settings_of << " on " << c.device_port << ": " << all;
  }
}

// The mqtt section: every problem names its key; files are taken from the
// configuration's folder and must be readable.
struct MqttCase {
  const char* name;
  std::string top;  // members before "mqtt"
  std::string section;
  std::string expected;
};
void PrintTo(const MqttCase& c, std::ostream* out) {
  *out << c.name;
}

class MqttSectionTest : public ::testing::TestWithParam<MqttCase> {};

TEST_P(MqttSectionTest, ProblemsNameTheKey) {
  const LoadedConfig loaded = ParseHostConfig(
      "h.json", "{" + GetParam().top + "\"mqtt\":\n" + GetParam().section +
                    ",\n\"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"}]}");
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  EXPECT_NE(all.find(GetParam().expected), std::string::npos) << all;
  EXPECT_FALSE(loaded.Valid());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Problems, MqttSectionTest,
    ::testing::Values(
        MqttCase{"no_host", "", "{}", "h.json:2: mqtt.host: missing"},
        MqttCase{"history_thinned", "\"history\": {\"interval_s\": 60},\n", "{\"host\": \"b\"}", "h.json:1: history.interval_s: must be 0 with an mqtt section"},
        MqttCase{"password_without_user", "", "{\"host\": \"b\", \"password_file\": \"h.json\"}", "mqtt.password_file: a password needs a username"},
        MqttCase{"unreadable_password", "", "{\"host\": \"b\", \"username\": \"u\", \"password_file\": \"no-such\"}", "mqtt.password_file: no-such: not a readable file"},
        MqttCase{"tls_without_ca", "", "{\"host\": \"b\", \"tls\": {}}", "mqtt.tls.ca_file: missing"},
        MqttCase{"cert_without_key", "", "{\"host\": \"b\", \"tls\": {\"ca_file\": \"x\", \"cert_file\": \"y\"}}", "mqtt.tls: cert_file and key_file go together"},
        MqttCase{"wildcard_prefix", "", "{\"host\": \"b\", \"topic_prefix\": \"a/+/c\"}", "mqtt.topic_prefix: a topic holds no '+' or '#'"},
        MqttCase{"trailing_slash", "", "{\"host\": \"b\", \"topic_prefix\": \"a/\"}", "mqtt.topic_prefix: ends with '/'"},
        MqttCase{"short_keepalive", "", "{\"host\": \"b\", \"keepalive_s\": 2}", "mqtt.keepalive_s: expected an integer from 5 to 65535"},
        MqttCase{"unknown_key", "", "{\"host\": \"b\", \"qos\": 1}", "mqtt.qos: unknown key"},
        MqttCase{"discovery_prefix", "", "{\"host\": \"b\", \"homeassistant\": {\"prefix\": \"#\"}}", "mqtt.homeassistant.prefix: a topic holds no"}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// An mqtt section keeps every record in the history; ports and names default.
TEST(HostConfigTest, MqttDefaults) {
  std::string folder = testing::TempDir();
  if (folder.back() == '/') folder.pop_back();
  std::ofstream(folder + "/ca.crt")
      << "-----BEGIN CERTIFICATE-----\nMA==\n-----END CERTIFICATE-----\n";
  const LoadedConfig loaded =
      ParseHostConfig(folder + "/h.json",
                      R"({"mqtt": {"host": "b"}, "devices": [{"data_id": 1, "address": 129,
                       "port": "sim"}]})");
  ASSERT_TRUE(loaded.Valid()) << FormatProblem(loaded.problems.front());
  const MqttSettings& mqtt = *loaded.config.mqtt;
  EXPECT_EQ(loaded.config.history.interval, std::chrono::seconds(0));
  EXPECT_EQ(mqtt.port, 1883);
  EXPECT_EQ(mqtt.topic_prefix.rfind("battery/", 0), 0u) << mqtt.topic_prefix;
  EXPECT_EQ(mqtt.client_id.rfind("battery-host-", 0), 0u) << mqtt.client_id;
  EXPECT_FALSE(mqtt.homeassistant.discovery);
  const LoadedConfig tls = ParseHostConfig(
      folder + "/h.json", R"({"mqtt": {"host": "b", "tls": {"ca_file": "ca.crt"}}, "devices":
                       [{"data_id": 1, "address": 129, "port": "sim"}]})");
  ASSERT_TRUE(tls.Valid()) << FormatProblem(tls.problems.front());
  EXPECT_EQ(tls.config.mqtt->port, 8883);
  EXPECT_EQ(tls.config.mqtt->tls->ca_file, folder + "/ca.crt");
  EXPECT_EQ(tls.config.mqtt->BrokerName(), "mqtts://b:8883");
}

std::string AllProblems(const LoadedConfig& loaded) {
  std::string all;
  for (const ConfigProblem& problem : loaded.problems) all += FormatProblem(problem) + "\n";
  return all;
}

// Brackets in strings and comments are not nesting; 64 levels are allowed.
TEST(HostConfigTest, NestingIsBoundedOutsideStringsAndComments) {
  const std::string devices =
      "\"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"}]";
  const std::string deep = std::string(63, '[') + std::string(63, ']');
  const std::string too_deep(65, '[');
  const std::pair<std::string, const char*> cases[] = {
      {"{\"x\": " + deep + ", " + devices + "}", nullptr},
      {"{\"x\": [" + deep + "], " + devices + "}", "h.json:1: column 70: nested deeper than 64"},
      {"{\"x\": \"\\\"" + too_deep + "\", " + devices + "}", nullptr},
      {"{// " + too_deep + "\n" + devices + "}", nullptr},
      {"{/* \n" + too_deep + " */\n" + devices + "}", nullptr},
      {"{/* */ \"x\":\n[" + deep + "], " + devices + "}", "h.json:2: column 64: nested deeper"}};
  for (const auto& [text, expected] : cases) {
    const std::string all = AllProblems(ParseHostConfig("h.json", text));
    if (expected == nullptr) {
      EXPECT_EQ(all.find("nested"), std::string::npos) << all;
    } else {
      EXPECT_NE(all.find(expected), std::string::npos) << all;
    }
  }
}

// Headers of this program's own machine, each changed in one field: one byte
// in e_ident, else e_type or e_machine.
TEST(HostConfigTest, OnlyASharedLibraryForThisMachineIsAPlugin) {
  const struct {
    std::size_t offset;
    std::uint16_t value;
    const char* expected;  // nullptr: a shared library for this machine
  } cases[] = {{EI_NIDENT, ET_DYN, nullptr},
               {EI_NIDENT, ET_REL, " is an object file, not a shared library"},
               {EI_NIDENT, ET_EXEC, " is an executable, not a shared library"},
               {EI_NIDENT + 2, EM_NONE, " is built for another machine than battery-host"},
               {EI_CLASS, ELFCLASSNONE, " is built for another machine"},
               {1, 'X', " is not a shared library (no ELF header)"}};
  std::ifstream self("/proc/self/exe", std::ios::binary);
  std::string own(64, '\0');
  ASSERT_TRUE(self.read(own.data(), static_cast<std::streamsize>(own.size())));
  const std::string path = testing::TempDir() + "/plugin.so";
  for (const auto& c : cases) {
    std::string header = own;
    if (c.offset < EI_NIDENT) {
      header[c.offset] = static_cast<char>(c.value);
    } else {
      std::memcpy(header.data() + c.offset, &c.value, sizeof c.value);
    }
    std::ofstream(path, std::ios::binary) << header;
    const LoadedConfig loaded = ParseHostConfig(
        "h.json", "{\"plugin\": \"" + path +
                      "\",\n\"devices\": [{\"data_id\": 1, \"address\": 129, \"port\": \"sim\"}]}");
    const std::string all = AllProblems(loaded);
    if (c.expected == nullptr) {
      EXPECT_TRUE(loaded.Valid()) << all;
    } else {
      EXPECT_NE(all.find("h.json:1: plugin: " + path + c.expected), std::string::npos) << all;
    }
  }
}

}  // namespace
