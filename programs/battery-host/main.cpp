// battery-host: the host programs around the battery2v_32 plug-in.

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/replay.h"

namespace {

constexpr const char* kUsage =
    "usage: battery-host replay [--plugin PATH] [SCRIPT]\n"
    "  replay   run a replay script (standard input when SCRIPT is absent or -)\n";

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "replay") return Replay(args);
  return Usage();
}
