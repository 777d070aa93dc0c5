// A steady polling cycle and a successful value query take nothing from the
// heap: every global allocation and deallocation function is replaced by a
// counting one, and the counts must not move while a warmed-up device polls.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "battery2v_32/battery2v_32.h"
#include "host/controller.h"
#include "host/device_access.h"
#include "tests/support/frames.h"

namespace {

std::atomic<std::size_t> allocations{0};
std::atomic<std::size_t> deallocations{0};

void* CountedAllocate(std::size_t size) {
  ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}

void* CountedAllocateAligned(std::size_t size, std::align_val_t alignment) {
  ++allocations;
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (size == 0 ? 1 : size + align - 1) / align * align;
  return std::aligned_alloc(align, rounded);
}

void CountedFree(void* pointer) noexcept {
  if (pointer == nullptr) return;
  ++deallocations;
  std::free(pointer);
}

void* OrThrow(void* pointer) {
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}

}  // namespace

void* operator new(std::size_t size) {
  return OrThrow(CountedAllocate(size));
}
void* operator new[](std::size_t size) {
  return OrThrow(CountedAllocate(size));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return OrThrow(CountedAllocateAligned(size, alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return OrThrow(CountedAllocateAligned(size, alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return CountedAllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return CountedAllocateAligned(size, alignment);
}

void operator delete(void* pointer) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  CountedFree(pointer);
}

namespace {

constexpr std::uint8_t kAddress = 0x01;

// A host that keeps nothing and answers every peer look-up, so that whatever
// reaches the heap during a cycle comes from the plug-in.
class SilentController : public PXHController {
 public:
  float Get_SP_Value(PXHVDevice&, unsigned int, const std::string&) override { return 1.5f; }
};

struct Counts {
  std::size_t allocations;
  std::size_t deallocations;
};

Counts CountsNow() {
  return {allocations.load(), deallocations.load()};
}

// The "rvSize is" line of every cycle goes through the real std::cout; only
// the file descriptor behind it points at /dev/null while cycles are counted.
class DiscardedStdout {
 public:
  DiscardedStdout() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    std::FILE* null_device = std::fopen("/dev/null", "w");
    if (null_device != nullptr) {
      dup2(fileno(null_device), STDOUT_FILENO);
      std::fclose(null_device);
    }
  }
  ~DiscardedStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  DiscardedStdout(const DiscardedStdout&) = delete;
  DiscardedStdout& operator=(const DiscardedStdout&) = delete;

 private:
  int saved_;
};

struct alignas(64) AlignedBlock {
  unsigned char bytes[64];
};

struct Frames {
  test_frames::Bytes cells;
  test_frames::Bytes group;
  test_frames::Bytes current;
  test_frames::Bytes temperature;
};

Frames CycleFrames(std::uint16_t first_cell) {
  return {test_frames::CellAnswer(kAddress, test_frames::RisingCells(first_cell)),
          test_frames::ShortAnswer(kAddress, 5200), test_frames::ShortAnswer(kAddress, 125),
          test_frames::ShortAnswer(kAddress, 2345)};
}

struct SteadyCase {
  const char* label;
  const char* settings;  // JSON of "appSetting"
  float group_voltage;   // 5200 in 0.1 V, plus 1.5 V from each peer
};

class SteadyCycleAllocationTest : public ::testing::TestWithParam<SteadyCase> {
 protected:
  void SetUp() override {
    Json::Value host_config(Json::objectValue);
    host_config["address"] = 0x81;
    device_.Init(host_, 7, host_config);
    DeviceAccess::AoNames(device_).push_back("group_current");
    DeviceAccess::AoValues(device_)["group_current"] = 3.0f;
    Json::Value config(Json::objectValue);
    std::string errors;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string text = GetParam().settings;
    ASSERT_TRUE(
        reader->parse(text.data(), text.data() + text.size(), &config["appSetting"], &errors))
        << errors;
    device_.InitSetting(config);
  }

  // Alternating cell values, so that change detection and the record update
  // do real work every cycle.
  void RunCycle(const Frames& frames) {
    device_.RefreshStatus();
    Feed(frames.cells);
    Feed(frames.group);
    Feed(frames.current);
    Feed(frames.temperature);
  }

  void Feed(const test_frames::Bytes& frame) {
    chunk_ = frame;  // same size every time: the capacity is already there
    device_.process(chunk_.data(), static_cast<unsigned int>(chunk_.size()));
  }

  std::shared_ptr<SilentController> host_ = std::make_shared<SilentController>();
  Battery2V32 device_;
  test_frames::Bytes chunk_ = test_frames::Bytes(battery_link::kCellAnswerSize);
};

// Without this the zero counts below would also hold for replacements that
// are not in effect.
TEST(AllocationCounterTest, LibraryAllocationsReachTheCounter) {
  const Counts before = CountsNow();
  { const std::string spilled(100, 'x'); }
  { const auto aligned = std::make_unique<AlignedBlock>(); }
  const Counts after = CountsNow();
  EXPECT_EQ(after.allocations - before.allocations, 2u);
  EXPECT_EQ(after.deallocations - before.deallocations, 2u);
}

TEST_P(SteadyCycleAllocationTest, SteadyCyclesAndQueriesTakeNothingFromTheHeap) {
  const Frames even = CycleFrames(2000);
  const Frames odd = CycleFrames(2100);
  const std::string cell_name = "battery_5_value";
  const std::string group_name = "group_voltage";
  constexpr int kWarmUpCycles = 3;
  constexpr int kCountedCycles = 200;
  constexpr int kCountedQueries = 200;

  Counts cycles_before{};
  Counts cycles_after{};
  {
    const DiscardedStdout quiet;
    for (int i = 0; i < kWarmUpCycles; ++i) RunCycle(i % 2 == 0 ? even : odd);
    cycles_before = CountsNow();
    // The last counted cycle runs on the even frames.
    for (int i = 0; i < kCountedCycles; ++i) RunCycle(i % 2 == 0 ? odd : even);
    cycles_after = CountsNow();
  }
  EXPECT_EQ(cycles_after.allocations - cycles_before.allocations, 0u);
  EXPECT_EQ(cycles_after.deallocations - cycles_before.deallocations, 0u);

  float cell = 0.0f;
  float group = 0.0f;
  const Counts queries_before = CountsNow();
  for (int i = 0; i < kCountedQueries; ++i) {
    cell = device_.Get_Value(7, cell_name);
    group = device_.Get_Value(7, group_name);
  }
  const Counts queries_after = CountsNow();
  EXPECT_EQ(queries_after.allocations - queries_before.allocations, 0u);
  EXPECT_EQ(queries_after.deallocations - queries_before.deallocations, 0u);
  // Both were answered: cell 5 of the even frames is 2005 mV.
  EXPECT_EQ(cell, 2005.0f / 1000.0f);
  EXPECT_EQ(group, GetParam().group_voltage);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Configurations, SteadyCycleAllocationTest,
    ::testing::Values(
        SteadyCase{"AllCells", "{}", 520.0f},
        SteadyCase{"SelectedCellsShifted", R"({"active_batteries": [3, 3, 31, 40, -1], "battery_start": 32, "group_voltage": [9]})", 521.5f},
        SteadyCase{"SplitGroup", R"({"group_index": 2, "amount": 15})", 520.0f}),
    [](const ::testing::TestParamInfo<SteadyCase>& param_info) { return param_info.param.label; });
// clang-format on

}  // namespace
