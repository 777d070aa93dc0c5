// battery-host: the host programs around the battery2v_32 plug-in.

#include <csignal>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <string>

#include "programs/battery-host/config/host_config.h"
#include "programs/battery-host/config/state_dir.h"
#include "programs/battery-host/live_host.h"
#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/replay/replay.h"
#include "programs/battery-host/service/service_paths.h"
#include "programs/battery-host/support/error_log.h"
#include "programs/command-line/command_line.h"

namespace {

int Replay(const std::string& plugin, const std::string& script) {
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

int Run(RunOptions options) {
  // As a service the host is started without options: the installed
  // configuration, and the state directory the service manager made.
  if (options.config_path.empty()) options.config_path = service_paths::kDefaultConfig;
  if (options.state_dir.empty()) options.state_dir = service_paths::StateDirectoryFromEnvironment();
  // A closed standard output is a failed write, not the end of the process.
  std::signal(SIGPIPE, SIG_IGN);
  const error_log::LinePrefixes prefixes(std::cerr, error_log::ForStandardError());
  return RunLiveHost(options, std::cerr);
}

int CheckConfig(const std::string& path) {
  const LoadedConfig loaded = LoadHostConfig(path);
  for (const ConfigProblem& problem : loaded.problems) std::cout << FormatProblem(problem) << '\n';
  if (!loaded.Valid()) {
    std::cout << path << ": not valid" << std::endl;
    return 2;
  }
  std::cout << path << ": valid, " << loaded.config.devices.size() << " device(s)" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("The host programs around the battery2v_32 plug-in.", "battery-host");
  app.require_subcommand(1);
  command_line::AddVersion(app);

  std::string plugin = PluginLibrary::DefaultPath();
  std::string script = "-";
  CLI::App* replay = app.add_subcommand("replay", "run a replay script, call by call");
  replay->add_option("--plugin", plugin, "plug-in library (default: the one built beside)");
  replay->add_option("SCRIPT", script, "the script; standard input when absent or -");

  RunOptions run_options;
  CLI::App* run =
      app.add_subcommand("run", "poll the configured monitors until stopped or N cycles each");
  run->add_option(
      "--config", run_options.config_path,
      std::string("host configuration (JSON; default: ") + service_paths::kDefaultConfig + ")");
  run->add_option("--cycles", run_options.cycles, "stop when every device has completed N cycles")
      ->transform(command_line::WholeNumber(1, std::numeric_limits<long>::max()));
  run->add_flag("--trace", run_options.trace, "wire bytes and cycles on standard error");
  run->add_option("--state-dir", run_options.state_dir,
                  "state directory (default: $STATE_DIRECTORY, else from the configuration, else "
                  "battery-state beside it, or " +
                      std::string(kInstalledStateDir) + " for one under /etc or /usr)");
  run->add_option("--plugin", run_options.plugin_path,
                  "plug-in library (default: from the configuration, else the one built beside)");

  std::string config_path;
  CLI::App* check =
      app.add_subcommand("check-config", "check a host configuration without opening any port");
  check->add_option("FILE", config_path, "host configuration (JSON)")->required();

  if (const auto status = command_line::Parse(app, argc, argv)) return *status;
  if (replay->parsed()) return Replay(plugin, script);
  if (run->parsed()) return Run(run_options);
  return CheckConfig(config_path);
}
