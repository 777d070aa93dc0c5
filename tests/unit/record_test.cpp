// The cycle record: its layout, publication at the end of a cycle, history,
// AO reports, batch rules and restoration from the host's cache.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio_ext.h>

#include <algorithm>
#include <cstring>

#include "battery/local_time.h"
#include "host/ttime.h"
#include "tests/support/device_harness.h"

namespace {

using test_frames::Bytes;
using test_frames::Concat;
using test_frames::RisingCells;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::uint32_t U32At(const Bytes& b, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, b.data() + offset, sizeof value);
  return value;
}

float FloatAt(const Bytes& b, std::size_t offset) {
  float value = 0;
  std::memcpy(&value, b.data() + offset, sizeof value);
  return value;
}

bool AllZero(const Bytes& b, std::size_t begin, std::size_t end) {
  return std::all_of(b.begin() + static_cast<std::ptrdiff_t>(begin),
                     b.begin() + static_cast<std::ptrdiff_t>(end), [](auto x) { return x == 0; });
}

class RecordTest : public DeviceTest {
 protected:
  RecordTest() { Configure(); }  // stamps the data id into the record
};

TEST_F(RecordTest, FirstCyclePublishesAZeroRecordAndSavesItsMeasurements) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunCycle(RisingCells(2100, 5), 5350, 125, 2345), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(host->published.size(), 1u);
  ASSERT_EQ(host->saved.size(), 1u);
  const Bytes& sp = host->published[0];
  const Bytes& history = host->saved[0];
  ASSERT_EQ(sp.size(), 152u);
  ASSERT_EQ(history.size(), 152u);

  EXPECT_EQ(U32At(sp, 0), kDataId);
  EXPECT_TRUE(AllZero(sp, 4, 145));
  const ttime stamp = get_ttime(device.last_update_);
  EXPECT_TRUE(std::equal(stamp.begin(), stamp.end(), sp.begin() + 145));

  EXPECT_EQ(U32At(history, 0), kDataId);
  for (std::size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(FloatAt(history, 4 + 4 * i), static_cast<float>(2100 + 5 * i) / 1000.0f) << i;
  }
  EXPECT_EQ(FloatAt(history, 132), 535.0f);
  EXPECT_EQ(FloatAt(history, 136), 12.5f);
  EXPECT_EQ(history[140], 0);
  EXPECT_EQ(FloatAt(history, 141), 23.45f);
  EXPECT_TRUE(std::equal(stamp.begin(), stamp.end(), history.begin() + 145));
}

TEST_F(RecordTest, PublicationCarriesThePreviousCycleAndHistoryTheCurrent) {
  testing::internal::CaptureStdout();
  RunCycle(RisingCells(2000), 5000, 100, 2000);  // A
  RunCycle(RisingCells(2200), 5300, 150, 2500);  // B
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(host->published.size(), 2u);
  ASSERT_EQ(host->saved.size(), 2u);
  EXPECT_TRUE(std::equal(host->published[1].begin(), host->published[1].begin() + 145,
                         host->saved[0].begin()))
      << "the second publication holds cycle A";
  EXPECT_EQ(FloatAt(host->saved[1], 132), 530.0f);
  EXPECT_EQ(FloatAt(host->saved[1], 4), 2.2f);
  EXPECT_EQ(FloatAt(host->saved[1], 141), 25.0f);
}

TEST_F(RecordTest, RuleCountLineShowsEveryDigitAndEndsEachCycle) {
  device.batch_rules_.resize(10203);
  testing::internal::CaptureStdout();
  RunCycle(RisingCells(), 5000, 100, 2000);
  RunCycle(RisingCells(), 5000, 100, 2000);
  EXPECT_EQ(__fpending(stdout), 0u) << "the line is flushed";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 10203\nrvSize is 0\n");
}

TEST_F(RecordTest, EndOfCycleStateAndOrder) {
  device.changed_ = true;
  device.batch_rules_.resize(3);
  testing::internal::CaptureStdout();
  RunCycle(RisingCells(), 5000, 100, 2000);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 3\n");
  EXPECT_EQ(device.cycle_status_, 1);
  EXPECT_TRUE(device.data_ready_);
  EXPECT_THAT(device.batch_rules_, IsEmpty());
  EXPECT_EQ(device.retry_count_, 0);
  const std::vector<std::string> events = TakeEvents();
  // Publication, reset, the checks, the batch rules, and the history last.
  auto at = [&](const std::string& prefix) {
    return std::find_if(events.begin(), events.end(),
                        [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }) -
           events.begin();
  };
  EXPECT_LT(at("tx FE FE 01 A4"), at("sp 5011 0 "));
  EXPECT_EQ(at("reset"), at("sp 5011 0 ") + 1);
  EXPECT_EQ(at("threshold \"group_voltage\""), at("reset") + 1);
  EXPECT_EQ(at("batchcheck 3 -> false"), static_cast<std::ptrdiff_t>(events.size()) - 2);
  EXPECT_THAT(events.back(), ::testing::StartsWith("history "));
}

struct FlagCase {
  bool ao_report;
  bool batch_hit;
  bool value_changes;
  bool changed;
};

class ChangedFlagTest : public RecordTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(ChangedFlagTest, SetByChangeAoReportOrBatchHit) {
  const FlagCase& c = GetParam();
  testing::internal::CaptureStdout();
  RunCycle(RisingCells(), 5000, 100, 2000);
  device.ao_names_ = {"ao_1"};
  device.ao_values_["ao_1"] = 1.5f;
  host->SetAoReport(c.ao_report);
  host->SetBatchHit(c.batch_hit);
  RunCycle(RisingCells(), c.value_changes ? 5100 : 5000, 100, 2000);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(device.changed_, c.changed);
}

INSTANTIATE_TEST_SUITE_P(Record, ChangedFlagTest,
                         ::testing::Values(FlagCase{false, false, false, false},
                                           FlagCase{true, false, false, true},
                                           FlagCase{false, true, false, true},
                                           FlagCase{false, false, true, true},
                                           FlagCase{true, true, true, true}));

TEST_F(RecordTest, AoValuesAreReportedAndChecked) {
  device.ao_names_ = {"ao_b", "ao_missing", "ao_a"};
  device.ao_values_ = {{"ao_a", 2.5f}, {"ao_b", -1.0f}};
  testing::internal::CaptureStdout();
  RunCycle(RisingCells(), 5000, 100, 2000);
  testing::internal::GetCapturedStdout();
  const std::vector<std::string> events = TakeEvents();
  std::vector<std::string> ao_events;
  std::copy_if(events.begin(), events.end(), std::back_inserter(ao_events),
               [](const std::string& e) { return e.find("\"ao_") != std::string::npos; });
  EXPECT_THAT(ao_events,
              ElementsAre("aoreport \"ao_b\" -1 -> false", "threshold \"ao_b\" \"\" -1 1",
                          "aoreport \"ao_a\" 2.5 -> false", "threshold \"ao_a\" \"\" 2.5 1"));
  EXPECT_EQ(device.ao_values_.count("ao_missing"), 0u) << "the lookup must not insert";
}

TEST_F(RecordTest, TemperatureSitsUnalignedBehindAZeroByte) {
  device.data_.reserved = 0x5A;
  testing::internal::CaptureStdout();
  RunCycle(RisingCells(), 5000, 100, 3125);
  testing::internal::GetCapturedStdout();
  const Bytes& history = host->saved.back();
  EXPECT_EQ(history[140], 0);
  const float expected = 31.25f;
  EXPECT_TRUE(std::equal(history.begin() + 141, history.begin() + 145,
                         reinterpret_cast<const unsigned char*>(&expected)));
}

// ---------------------------------------------------------------------------
// Restoring a cached record

Bytes CachedImage() {
  Battery32_Data_t record{};
  record.data_id = 99;
  for (std::size_t i = 0; i < 32; ++i) {
    battery_record::Store(record, battery_record::kCellVoltageOffset + 4 * i,
                          2.0f + static_cast<float>(i) / 100.0f);
  }
  battery_record::Store(record, battery_record::kGroupVoltageOffset, 52.5f);
  battery_record::Store(record, battery_record::kGroupCurrentOffset, -3.25f);
  battery_record::Store(record, battery_record::kTemperatureOffset, 21.5f);
  const auto* bytes = battery_record::Bytes(record);
  return Bytes(bytes, bytes + sizeof record);
}

TEST_F(RecordTest, CacheImageIsTakenWholeAndAnswersAtOnce) {
  const Bytes image = CachedImage();
  EXPECT_EQ(device.LoadFromCache(image.data(), 152), 1);
  EXPECT_TRUE(device.data_ready_);
  EXPECT_LE((LocalNow() - device.last_update_).total_seconds(), 1);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), battery_record::Bytes(device.data_)));
  EXPECT_EQ(device.group_voltage_, 52.5f);
  EXPECT_EQ(device.group_current_, -3.25f);
  EXPECT_EQ(device.temperature_, 21.5f);
  EXPECT_THAT(device.cells_, ::testing::Each(0.0f)) << "cells live in the record only";
  EXPECT_THAT(TakeEvents(), IsEmpty()) << "nothing published, nothing saved";
  EXPECT_EQ(device.Get_Value(kDataId, "battery_3_value"), 2.03f);
  EXPECT_EQ(device.Get_Value(kDataId, "group_voltage"), 52.5f);
  EXPECT_EQ(device.Get_Value(kDataId, "temperature"), 21.5f);
}

TEST_F(RecordTest, CacheImageAsAString) {
  const Bytes image = CachedImage();
  EXPECT_EQ(device.LoadFromCache(std::string(image.begin(), image.end())), 1);
  EXPECT_EQ(device.Get_Value(kDataId, "group_current"), -3.25f);
}

TEST_F(RecordTest, WrongSizedOrMissingImagesAreRefused) {
  const Bytes image = Concat(CachedImage(), {0});
  const Bytes before(battery_record::Bytes(device.data_),
                     battery_record::Bytes(device.data_) + 152);
  const auto update_before = device.last_update_;
  for (const int length : {0, 1, 151, 153, -152}) {
    EXPECT_EQ(device.LoadFromCache(image.data(), length), 0) << length;
  }
  EXPECT_EQ(device.LoadFromCache(nullptr, 152), 0);
  EXPECT_FALSE(device.data_ready_);
  EXPECT_EQ(device.last_update_, update_before);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), battery_record::Bytes(device.data_)));
}

// A device that keeps the template's own cache restoration.
class TemplateDevice : public UniDataDevice<Battery32_Data_t, Battery, 5011> {
 public:
  int ProcessBatteryVoltage() override { return 0; }
  using UniDataDevice::cycle_status_;
  using UniDataDevice::data_ready_;
};

TEST(TemplateCacheTest, DefaultRestorationRunsAFullEndOfCycle) {
  auto host = std::make_shared<RecordingController>();
  TemplateDevice device;
  device.Init(host, 5, Json::Value(Json::objectValue));
  const Bytes image = CachedImage();
  testing::internal::CaptureStdout();
  EXPECT_EQ(device.LoadFromCache(image.data(), 151), 0);
  EXPECT_TRUE(host->events.empty());
  EXPECT_EQ(device.LoadFromCache(image.data(), 152), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  EXPECT_TRUE(device.data_ready_);
  EXPECT_EQ(device.cycle_status_, 1);
  ASSERT_EQ(host->published.size(), 1u);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 145, host->published[0].begin()))
      << "the loaded record goes out with a fresh time";
  EXPECT_EQ(host->saved.size(), 1u);
  EXPECT_THAT(host->events, Not(Contains(HasSubstr("threshold"))))
      << "the template's own check hook is empty";
}

}  // namespace
