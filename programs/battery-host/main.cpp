// battery-host: the host programs around the battery2v_32 plug-in.

#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/live_host.h"
#include "programs/battery-host/outputs/error_log.h"
#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/replay/replay.h"
#include "programs/battery-host/service/service_paths.h"

namespace {

constexpr const char* kUsage =
    "usage: battery-host replay [--plugin PATH] [SCRIPT]\n"
    "       battery-host run [--config FILE] [--cycles N] [--trace] [--state-dir DIR]"
    " [--plugin PATH]\n"
    "       battery-host check-config FILE\n"
    "  replay        run a replay script (standard input when SCRIPT is absent or -)\n"
    "  run           poll the configured monitors until stopped or N cycles each\n"
    "  check-config  validate a host configuration without opening any port\n";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

int Replay(const std::vector<std::string>& args) {
  std::string plugin = PluginLibrary::DefaultPath();
  std::string script = "-";
  bool have_script = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--plugin" && i + 1 < args.size()) {
      plugin = args[++i];
    } else if (!have_script && (args[i] == "-" || args[i].rfind("--", 0) != 0)) {
      script = args[i];
      have_script = true;
    } else {
      return Usage();
    }
  }
  try {
    if (script == "-") return RunReplay(plugin, std::cin, std::cout, std::cerr);
    std::ifstream in(script);
    if (!in) {
      std::cerr << "battery-host replay: cannot open " << script << '\n';
      return 2;
    }
    return RunReplay(plugin, in, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "battery-host replay: " << error.what() << '\n';
    return 1;
  }
}

bool ParseCount(const std::string& text, long& count) {
  std::size_t used = 0;
  try {
    count = std::stol(text, &used);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size() && count > 0;
}

int Run(const std::vector<std::string>& args) {
  RunOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool has_value = i + 1 < args.size();
    if (args[i] == "--trace") {
      options.trace = true;
    } else if (args[i] == "--config" && has_value) {
      options.config_path = args[++i];
    } else if (args[i] == "--state-dir" && has_value) {
      options.state_dir = args[++i];
    } else if (args[i] == "--plugin" && has_value) {
      options.plugin_path = args[++i];
    } else if (args[i] == "--cycles" && has_value && ParseCount(args[i + 1], options.cycles)) {
      ++i;
    } else {
      return Usage();
    }
  }
  // As a service the host is started without options: the installed
  // configuration, and the state directory the service manager made.
  if (options.config_path.empty()) options.config_path = service_paths::kDefaultConfig;
  if (options.state_dir.empty()) options.state_dir = service_paths::StateDirectoryFromEnvironment();
  std::optional<error_log::LinePrefixes> prefixes;
  if (error_log::StandardErrorIsJournal()) prefixes.emplace(std::cerr);
  return RunLiveHost(options, std::cout, std::cerr);
}

int CheckConfig(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  const LoadedConfig loaded = LoadHostConfig(args[0]);
  for (const ConfigProblem& problem : loaded.problems) std::cout << FormatProblem(problem) << '\n';
  if (!loaded.Valid()) {
    std::cout << args[0] << ": not valid" << std::endl;
    return 1;
  }
  std::cout << args[0] << ": valid, " << loaded.config.devices.size() << " device(s)" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "replay") return Replay(args);
  if (command == "run") return Run(args);
  if (command == "check-config") return CheckConfig(args);
  return Usage();
}
