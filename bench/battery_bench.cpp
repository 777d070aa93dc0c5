// Benchmarks of the plug-in's work on a no-op host. Each benchmark reports
// the heap allocations it made per unit of work as a counter; benchmarks
// whose name ends in RegexBaseline run the straightforward std::regex
// reading of the cell-name rule beside the plug-in's own code, and
// BM_LocalNow_SecondClockBaseline reads the clock without the per-second
// conversion cache.
//
// The plug-in writes diagnostic lines to standard output ("rvSize is 0" at
// the end of every cycle); each benchmark that makes it write sends file
// descriptor 1 to /dev/null while it runs, so the lines are still written and
// flushed as part of the measured work.

#include <benchmark/benchmark.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "battery/local_time.h"
#include "battery2v_32/battery2v_32.h"
#include "bench/allocation_counter.h"
#include "bench/regex_baseline.h"
#include "bench/workload.h"
#include "programs/battery-host/plugin_library.h"

namespace {

using bench::AllocationCount;
using bench::MonitorAnswers;
using bench::PollingWorkload;
using bench::StdoutToDevNull;

const PluginLibrary& Plugin() {
  static const PluginLibrary plugin(PluginLibrary::DefaultPath());
  return plugin;
}

void ReportPerIteration(benchmark::State& state, const char* counter, std::uint64_t allocations) {
  state.counters[counter] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

// ---------------------------------------------------------------------------
// Polling

void BM_PollingCycle_NoOpHost(benchmark::State& state) {
  const StdoutToDevNull quiet;
  PollingWorkload workload(Plugin().CreateDevice());
  // The first cycle differs: it is the first to fill the record.
  if (!workload.RunCycle()) state.SkipWithError("the polling cycle did not complete");
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    if (!workload.RunCycle()) {
      state.SkipWithError("the polling cycle did not complete");
      break;
    }
  }
  ReportPerIteration(state, "allocs_per_cycle", AllocationCount() - before);
}
BENCHMARK(BM_PollingCycle_NoOpHost);

// A device from the device library (the code the plug-in is built from), so
// that the cell-voltage request can be sent on its own.
class CellAnswerDevice : public Battery2V32 {
 public:
  bool AwaitsGroupVoltage() const {
    return cmd_type_ == static_cast<int>(RequestKind::kGroupVoltage);
  }
};

class CellAnswerBench {
 public:
  CellAnswerBench() {
    const StdoutToDevNull quiet;
    bench::InitDevice(*device_, host_);
    device_->InitSetting(bench::TypicalConfig());
  }

  CellAnswerDevice& Device() { return *device_; }
  test_frames::Bytes& Answer() { return answers_.cells; }

 private:
  std::shared_ptr<PXHController> host_ = std::make_shared<PXHController>();
  std::unique_ptr<CellAnswerDevice> device_ = std::make_unique<CellAnswerDevice>();
  MonitorAnswers answers_;
};

// The cell-voltage request alone: what the two benchmarks below spend
// before the answer arrives.
void BM_Request_CellVoltage(benchmark::State& state) {
  CellAnswerBench setup;
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) setup.Device().CallVoltage();
  ReportPerIteration(state, "allocs_per_request", AllocationCount() - before);
}
BENCHMARK(BM_Request_CellVoltage);

// Each iteration sends the cell-voltage request and hands the 67-byte answer
// to process in one chunk; the accepted answer sends the next request.
void BM_Process_CellAnswer_Whole(benchmark::State& state) {
  CellAnswerBench setup;
  CellAnswerDevice& device = setup.Device();
  test_frames::Bytes& answer = setup.Answer();
  const auto length = static_cast<unsigned int>(answer.size());
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    device.CallVoltage();
    const int result = device.process(answer.data(), length);
    if (result != 1 || !device.AwaitsGroupVoltage()) {
      state.SkipWithError("the cell-voltage answer was not accepted");
      break;
    }
  }
  ReportPerIteration(state, "allocs_per_answer", AllocationCount() - before);
}
BENCHMARK(BM_Process_CellAnswer_Whole);

// The same answer, one byte per call of process, as a port without receive
// buffering delivers it.
void BM_Process_CellAnswer_1ByteChunks(benchmark::State& state) {
  CellAnswerBench setup;
  CellAnswerDevice& device = setup.Device();
  test_frames::Bytes& answer = setup.Answer();
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    device.CallVoltage();
    int result = 0;
    for (unsigned char& byte : answer) result = device.process(&byte, 1);
    if (result != 1 || !device.AwaitsGroupVoltage()) {
      state.SkipWithError("the cell-voltage answer was not accepted");
      break;
    }
  }
  ReportPerIteration(state, "allocs_per_answer", AllocationCount() - before);
}
BENCHMARK(BM_Process_CellAnswer_1ByteChunks);

// ---------------------------------------------------------------------------
// Value queries, on a device that has completed one polling cycle

std::unique_ptr<PollingWorkload> ReadyWorkload(std::unique_ptr<PXHSPDevice> device) {
  const StdoutToDevNull quiet;
  auto workload = std::make_unique<PollingWorkload>(std::move(device));
  if (!workload->RunCycle()) throw std::runtime_error("the polling cycle did not complete");
  return workload;
}

std::unique_ptr<PXHSPDevice> PluginDevice() {
  return Plugin().CreateDevice();
}
std::unique_ptr<PXHSPDevice> RegexBaselineDevice() {
  return std::make_unique<bench::RegexBaselineBattery2V32>();
}

void RunAnsweredQueries(benchmark::State& state, std::unique_ptr<PXHSPDevice> device,
                        const std::string& name, float expected) {
  const auto workload = ReadyWorkload(std::move(device));
  const VDeviceInterface& queried = workload->Device();
  if (queried.Get_Value(bench::kDataId, name) != expected) {
    state.SkipWithError("the query gave a wrong value");
    return;
  }
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    const float value = queried.Get_Value(bench::kDataId, name);
    benchmark::DoNotOptimize(value);
  }
  ReportPerIteration(state, "allocs_per_query", AllocationCount() - before);
}

// Cell 17 of RisingCells(2190): 2.207 V.
constexpr float kCell17Volts = 2207.0f / 1000.0f;
const std::string kCellName = "battery_17_value";
// Compared last of the group names.
constexpr float kTemperature = 2345.0f / 100.0f;
const std::string kGroupName = "temperature";
// The first cell number past the device's cells.
const std::string kUnsupportedName = "battery_32_value";

void BM_GetValue_Cell(benchmark::State& state) {
  RunAnsweredQueries(state, PluginDevice(), kCellName, kCell17Volts);
}
BENCHMARK(BM_GetValue_Cell);

void BM_GetValue_Cell_RegexBaseline(benchmark::State& state) {
  RunAnsweredQueries(state, RegexBaselineDevice(), kCellName, kCell17Volts);
}
BENCHMARK(BM_GetValue_Cell_RegexBaseline);

void BM_GetValue_Group(benchmark::State& state) {
  RunAnsweredQueries(state, PluginDevice(), kGroupName, kTemperature);
}
BENCHMARK(BM_GetValue_Group);

void BM_GetValue_Group_RegexBaseline(benchmark::State& state) {
  RunAnsweredQueries(state, RegexBaselineDevice(), kGroupName, kTemperature);
}
BENCHMARK(BM_GetValue_Group_RegexBaseline);

// A refused query: the cost includes throwing and catching std::out_of_range.
void RunRefusedQueries(benchmark::State& state, std::unique_ptr<PXHSPDevice> device) {
  const auto workload = ReadyWorkload(std::move(device));
  const VDeviceInterface& queried = workload->Device();
  const std::string expected = "不支持变量";
  const auto refusal = [&queried]() -> std::string {
    try {
      queried.Get_Value(bench::kDataId, kUnsupportedName);
    } catch (const std::out_of_range& error) {
      return error.what();
    }
    return "answered";
  };
  if (refusal() != expected) {
    state.SkipWithError("the unsupported name was not refused as unsupported");
    return;
  }
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(queried.Get_Value(bench::kDataId, kUnsupportedName));
    } catch (const std::out_of_range& error) {
      benchmark::DoNotOptimize(error.what());
    }
  }
  ReportPerIteration(state, "allocs_per_query", AllocationCount() - before);
}

void BM_GetValue_Unsupported(benchmark::State& state) {
  RunRefusedQueries(state, PluginDevice());
}
BENCHMARK(BM_GetValue_Unsupported);

void BM_GetValue_Unsupported_RegexBaseline(benchmark::State& state) {
  RunRefusedQueries(state, RegexBaselineDevice());
}
BENCHMARK(BM_GetValue_Unsupported_RegexBaseline);

// ---------------------------------------------------------------------------
// Clock: the device reads it on every request and every chunk

void BM_LocalNow(benchmark::State& state) {
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) benchmark::DoNotOptimize(LocalNow());
  ReportPerIteration(state, "allocs_per_read", AllocationCount() - before);
}
BENCHMARK(BM_LocalNow);

// Converting every read, as Boost's second clock does.
void BM_LocalNow_SecondClockBaseline(benchmark::State& state) {
  const std::uint64_t before = AllocationCount();
  for (auto _ : state) benchmark::DoNotOptimize(boost::posix_time::second_clock::local_time());
  ReportPerIteration(state, "allocs_per_read", AllocationCount() - before);
}
BENCHMARK(BM_LocalNow_SecondClockBaseline);

// ---------------------------------------------------------------------------
// Configuration

// InitSetting of the typical configuration on a new plug-in device; creating
// the device and the host's Init are not timed.
void BM_InitSetting_TypicalConfig(benchmark::State& state) {
  const StdoutToDevNull quiet;
  const Json::Value config = bench::TypicalConfig();
  const auto host = std::make_shared<PXHController>();
  std::unique_ptr<PXHSPDevice> device;
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    device = Plugin().CreateDevice();
    bench::InitDevice(*device, host);
    state.ResumeTiming();
    const std::uint64_t before = AllocationCount();
    const int result = device->InitSetting(config);
    allocations += AllocationCount() - before;
    if (result != 1) {
      state.SkipWithError("InitSetting failed");
      break;
    }
  }
  ReportPerIteration(state, "allocs_per_init", allocations);
}
BENCHMARK(BM_InitSetting_TypicalConfig);

}  // namespace

BENCHMARK_MAIN();
