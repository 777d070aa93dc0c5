// What a reload changes: each row a running configuration's devices and a
// new one, and the devices added, removed and re-created.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "programs/battery-host/config/config_change.h"

namespace {

struct ChangeCase {
  const char* name;
  std::string running;  // the document's text after "{"
  std::string next;
  std::vector<unsigned int> added, removed, recreated;
  bool mqtt, http;
  std::vector<std::string> at_next_start;
};

constexpr const char* kTwoOnABus =
    R"("devices": [{"data_id": 1, "address": 129, "port": "/dev/ttyS1"},
                   {"data_id": 2, "address": 130, "port": "/dev/ttyS1"}])";

HostConfig Parsed(const std::string& members) {
  const LoadedConfig loaded = ParseHostConfig("h.json", "{" + members + "}");
  EXPECT_TRUE(loaded.Valid()) << FormatProblem(loaded.problems.front());
  return loaded.config;
}

// Rows print by name: the bytes of the struct include padding.
void PrintTo(const ChangeCase& row, std::ostream* out) {
  *out << row.name;
}

class ConfigChangeTest : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ConfigChangeTest, TellsWhatChanged) {
  const ChangeCase& row = GetParam();
  const ConfigChange change = CompareConfigs(Parsed(row.running), Parsed(row.next));
  EXPECT_EQ(change.added, row.added);
  EXPECT_EQ(change.removed, row.removed);
  EXPECT_EQ(change.recreated, row.recreated);
  EXPECT_EQ(change.mqtt, row.mqtt);
  EXPECT_EQ(change.http, row.http);
  EXPECT_EQ(change.at_next_start, row.at_next_start);
}

INSTANTIATE_TEST_SUITE_P(
    Reloads, ConfigChangeTest,
    ::testing::Values(
        ChangeCase{"same_text_reformatted",
                   kTwoOnABus,
                   R"("devices": [{"port": "/dev/ttyS1", "address": 129, "data_id": 1},
                      {"data_id": 2, "address": 130, "port": "/dev/ttyS1"}])",
                   {},
                   {},
                   {},
                   false,
                   false,
                   {}},
        ChangeCase{"threshold_of_one",
                   kTwoOnABus,
                   R"("devices": [{"data_id": 1, "address": 129, "port": "/dev/ttyS1"},
                      {"data_id": 2, "address": 130, "port": "/dev/ttyS1",
                       "thresholds": {"temperature": {"high": 40}}}])",
                   {},
                   {},
                   {2},
                   false,
                   false,
                   {}},
        ChangeCase{"one_added_one_removed",
                   kTwoOnABus,
                   R"("devices": [{"data_id": 1, "address": 129, "port": "/dev/ttyS1"},
                      {"data_id": 3, "address": 131, "port": "/dev/ttyS1"}])",
                   {3},
                   {2},
                   {},
                   false,
                   false,
                   {}},
        ChangeCase{"port_settings_touch_its_devices",
                   std::string(R"("ports": {"/dev/ttyS1": {"echo": false}},)") + kTwoOnABus,
                   std::string(R"("ports": {"/dev/ttyS1": {"echo": true}},)") + kTwoOnABus,
                   {},
                   {},
                   {1, 2},
                   false,
                   false,
                   {}},
        ChangeCase{"default_interval_touches_every_device",
                   std::string(R"("poll_interval_ms": 1000,)") + kTwoOnABus,
                   std::string(R"("poll_interval_ms": 2000,)") + kTwoOnABus,
                   {},
                   {},
                   {1, 2},
                   false,
                   false,
                   {}},
        ChangeCase{"a_simulated_line_is_made_again_whole",
                   R"("devices": [{"data_id": 1, "address": 129, "port": "sim:a"},
                                  {"data_id": 2, "address": 130, "port": "sim:a"},
                                  {"data_id": 3, "address": 131, "port": "sim"}])",
                   R"("devices": [{"data_id": 1, "address": 129, "port": "sim:a"},
                                  {"data_id": 2, "address": 130, "port": "sim:a",
                                   "sim": {"current": 2}},
                                  {"data_id": 3, "address": 131, "port": "sim"}])",
                   {},
                   {},
                   {1, 2},
                   false,
                   false,
                   {}},
        ChangeCase{"outputs_and_start_keys",
                   std::string(R"("plugin_log": "a.log",)") + kTwoOnABus,
                   std::string(R"("plugin_log": "b.log", "http": {"listen": "127.0.0.1:0"},)") +
                       kTwoOnABus,
                   {},
                   {},
                   {},
                   false,
                   true,
                   {"plugin_log"}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ConfigChangeTest, SaysWhatChanged) {
  ConfigChange change;
  EXPECT_EQ(DescribeChange(change), "nothing changed");
  change.added = {3};
  change.recreated = {1, 2};
  change.mqtt = true;
  change.records = false;
  change.at_next_start = {"plugin"};
  EXPECT_EQ(DescribeChange(change),
            "device 3 added; devices 1, 2 re-created; mqtt restarted; record lines on standard "
            "output off; plugin changed: takes effect at the next start");
}

}  // namespace
