// battery-bench-work WORK COUNT: runs COUNT units of one piece of the
// plug-in's work on a no-op host, for counting instructions under callgrind
// (scripts/count-instructions). WORK is one of
//
//   cycle        a full polling cycle: tick, four answers, RoundDone
//   cell-query   Get_Value("battery_17_value")
//   group-query  Get_Value("temperature")
//
// The counted work runs inside the functions named Counted...; give them to
// callgrind's --toggle-collect. A few units run before them, so that one-time
// work (symbol binding, time-zone loading, first record) is not counted.
// Standard output carries the plug-in's diagnostic lines; run with it
// redirected.

#include <cstdlib>
#include <iostream>
#include <string>

#include "bench/workload.h"
#include "programs/battery-host/plugin_library.h"

namespace {

constexpr int kWarmUpUnits = 10;

__attribute__((noinline)) bool CountedPollingCycles(bench::PollingWorkload& workload, long count) {
  bool clean = true;
  for (long i = 0; i < count; ++i) clean = workload.RunCycle() && clean;
  return clean;
}

__attribute__((noinline)) float CountedValueQueries(const VDeviceInterface& device,
                                                    const std::string& name, long count) {
  float sum = 0.0f;
  for (long i = 0; i < count; ++i) sum += device.Get_Value(bench::kDataId, name);
  return sum;
}

int Usage() {
  std::cerr << "usage: battery-bench-work cycle|cell-query|group-query COUNT\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Usage();
  const std::string work = argv[1];
  const long count = std::atol(argv[2]);
  if (count <= 0) return Usage();

  const PluginLibrary plugin(PluginLibrary::DefaultPath());
  bench::PollingWorkload workload(plugin.CreateDevice());
  for (int i = 0; i < kWarmUpUnits; ++i) {
    if (!workload.RunCycle()) {
      std::cerr << "battery-bench-work: the polling cycle did not complete\n";
      return 1;
    }
  }

  if (work == "cycle") {
    if (!CountedPollingCycles(workload, count)) {
      std::cerr << "battery-bench-work: a polling cycle did not complete\n";
      return 1;
    }
    return 0;
  }
  std::string name;
  if (work == "cell-query") {
    name = "battery_17_value";
  } else if (work == "group-query") {
    name = "temperature";
  } else {
    return Usage();
  }
  const VDeviceInterface& device = workload.Device();
  float warm_up = 0.0f;
  for (int i = 0; i < kWarmUpUnits; ++i) warm_up += device.Get_Value(bench::kDataId, name);
  const float sum = CountedValueQueries(device, name, count);
  std::cerr << "battery-bench-work: " << count << " queries of " << name << ", sum "
            << sum + warm_up << "\n";
  return 0;
}
