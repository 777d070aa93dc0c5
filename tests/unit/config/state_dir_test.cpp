// The state directory's rule: where run keeps its state, and which folders it refuses.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "programs/battery-host/config/state_dir.h"

namespace {

namespace fs = std::filesystem;

struct StateDirCase {
  const char* name;
  std::string option;      // --state-dir
  std::string config;      // the configuration file; {tmp} is a fresh folder
  std::string configured;  // state_dir
  std::string chosen;      // {tmp}: the folder; {installed}: kInstalledStateDir
  std::string refused;     // the system folder named in the problem; empty: accepted
};
void PrintTo(const StateDirCase& c, std::ostream* out) {
  *out << c.name;
}

class StateDirTest : public ::testing::TestWithParam<StateDirCase> {
 protected:
  void SetUp() override {
    char name[] = "/tmp/state-dir-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    tmp_ = name;
    // A folder of the configuration's that is a link into /etc, and one into /var.
    fs::create_directory_symlink("/etc", tmp_ / "etc-link");
    fs::create_directory_symlink("/var", tmp_ / "var-link");
  }
  void TearDown() override { fs::remove_all(tmp_); }

  std::string Expand(std::string text) const {
    const std::pair<const char*, std::string> names[] = {{"{tmp}", tmp_.string()},
                                                         {"{installed}", kInstalledStateDir}};
    for (const auto& [name, value] : names) {
      if (const auto at = text.find(name); at != std::string::npos) {
        text.replace(at, std::string(name).size(), value);
      }
    }
    return text;
  }

  fs::path tmp_;
};

TEST_P(StateDirTest, ChosenAndChecked) {
  const StateDirCase& c = GetParam();
  const std::string chosen = ChooseStateDir(Expand(c.option), Expand(c.config), c.configured);
  EXPECT_EQ(chosen, Expand(c.chosen));
  const auto problem = SystemFolderProblem(chosen);
  if (c.refused.empty()) {
    EXPECT_FALSE(problem.has_value()) << *problem;
  } else {
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find(chosen), std::string::npos) << *problem;
    EXPECT_NE(problem->find("lies under " + c.refused + ","), std::string::npos) << *problem;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StateDirTest,
    ::testing::Values(
        StateDirCase{"installed_config", "", "/etc/battery-host/host.json", "", "{installed}", ""},
        StateDirCase{"packaged_example", "", "/usr/share/doc/battery-host/examples/host.json", "",
                     "{installed}", ""},
        StateDirCase{"beside_own_config", "", "{tmp}/host.json", "", "{tmp}/battery-state", ""},
        StateDirCase{"config_in_linked_etc", "", "{tmp}/etc-link/host.json", "", "{installed}", ""},
        StateDirCase{"option_wins", "/usr/x", "{tmp}/host.json", "st", "/usr/x", "/usr"},
        StateDirCase{"option_under_etc", "/etc/x", "{tmp}/host.json", "", "/etc/x", "/etc"},
        StateDirCase{"etc_itself", "/etc", "{tmp}/host.json", "", "/etc", "/etc"},
        StateDirCase{"similar_name", "/etcetera/x", "{tmp}/host.json", "", "/etcetera/x", ""},
        StateDirCase{"dot_dot_out", "/etc/../var/x", "{tmp}/host.json", "", "/etc/../var/x", ""},
        StateDirCase{"dot_dot_in", "/var/../usr/x", "{tmp}/host.json", "", "/var/../usr/x", "/usr"},
        StateDirCase{"configured_absolute", "", "{tmp}/host.json", "/etc/x", "/etc/x", "/etc"},
        StateDirCase{"configured_relative", "", "/etc/battery-host/host.json", "st",
                     "/etc/battery-host/st", "/etc"},
        StateDirCase{"relative_climbs_out", "", "/etc/battery-host/host.json", "../../var/lib/b",
                     "/etc/battery-host/../../var/lib/b", ""},
        StateDirCase{"through_link_to_etc", "", "{tmp}/host.json", "etc-link/st",
                     "{tmp}/etc-link/st", "/etc"},
        StateDirCase{"through_link_to_var", "", "{tmp}/host.json", "var-link/st",
                     "{tmp}/var-link/st", ""}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
