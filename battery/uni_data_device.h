#pragma once

// UniDataDevice: the part of a device that owns the record of one polling
// cycle. It publishes the record at the end of every cycle, saves it as
// device history, restores it from the host's cache and reads the threshold
// settings.
//
//   Record  the packed record type: data_id, ..., sample_time
//   Base    the protocol driver the device derives from
//   SpId    the SP data id under which the record is published

#include <json/value.h>

#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

#include "battery/local_time.h"
#include "battery/settings.h"
#include "host/ttime.h"

template <typename Record, typename Base, int SpId>
class UniDataDevice : public Base {
  static_assert(std::is_trivially_copyable_v<Record> && alignof(Record) == 1,
                "the record is a packed byte image");
  static_assert(sizeof(Record::sample_time) == kTTimeSize);

 public:
  static constexpr int kSpDataId = SpId;
  static constexpr unsigned int kRecordSize = sizeof(Record);
  UniDataDevice() { std::memset(&data_, 0, sizeof data_); }
  ~UniDataDevice() override = default;

  using Base::LoadFromCache;

  // Takes a cached record whole and runs a full end of cycle on it.
  int LoadFromCache(const unsigned char* data, int length) override {
    if (data == nullptr || length != static_cast<int>(kRecordSize)) return 0;
    std::memcpy(&data_, data, kRecordSize);
    this->data_ready_ = true;
    RoundDone();
    return 1;
  }

  // End of a polling cycle. The record goes out before RunCheckThreshold
  // copies this cycle's measurements into it: SP consumers receive the
  // previous cycle's values with this cycle's time, the history this cycle's.
  void RoundDone() override {
    if (!this->data_ready_) this->data_ready_ = true;
    this->last_update_ = LocalNow();
    const ttime stamp = get_ttime(this->last_update_);
    std::memcpy(RecordBytes() + offsetof(Record, sample_time), stamp.data(), stamp.size());
    Base::SendSP(SpId, RecordBytes(), kRecordSize, false);
    this->Reset();
    this->cycle_status_ = 1;
    this->changed_ = false;
    RunCheckThreshold();
    CheckAoValues();
    WriteBatchRuleCount();
    this->changed_ = this->DoBatchCheckThreshold(this->batch_rules_) || this->changed_;
    this->SaveDeviceHistory(RecordBytes(), kRecordSize);
    this->batch_rules_.clear();
  }

  int InitSetting(const Json::Value& config) override {
    data_.data_id = this->DataId();
    if (const Json::Value* settings = battery_settings::PresentObject(config, "appSetting")) {
      if (const Json::Value* mode = battery_settings::Present(*settings, "b_mode")) {
        b_mode_ = battery_settings::ToInt(*mode);
        // The configuration trace (this line, "here ...", "mobile:...", "... is
        // missing") is kept word for word: the expected replay traces hold it,
        // and those who read a controller's log know it.
        std::cout << "InitSetting " << this->DataId() << " b_mode_:" << b_mode_ << std::endl;
      }
    }
    if (b_mode_ == battery_settings::kThresholdMode) ReadThresholdSettings(config);
    return Base::InitSetting(config);
  }

  virtual void RunCheckThreshold() {}

 protected:
  unsigned char* RecordBytes() { return reinterpret_cast<unsigned char*>(&data_); }

  Record data_;
  int b_mode_ = 1;
  // thresholdSetting's alarm descriptors and signal names per variable. The
  // threshold checks do not use them (the host has its own limits); kept as
  // read from the configuration because tests read them back.
  std::map<std::string, std::string> alarm_desc_;
  std::map<std::string, std::string> signal_names_;

 private:
  void CheckAoValues() {
    static const std::string kNoDisplayName;
    for (std::size_t i = 0; i < this->ao_names_.size(); ++i) {
      const std::string& name = this->ao_names_[i];
      const auto found = this->ao_values_.find(name);
      if (found == this->ao_values_.end()) continue;
      const float value = found->second;
      this->changed_ = this->CheckAOReport(name, value) || this->changed_;
      this->CheckThreshold(name, kNoDisplayName, value, 1);
    }
  }

  // The line "rvSize is <pending batch rules>", flushed. It ends every polling
  // cycle, so it is formatted here and handed to the stream in one piece. Kept
  // word for word like the configuration trace: expected traces hold it.
  void WriteBatchRuleCount() const {
    static constexpr std::string_view kLead = "rvSize is ";
    std::array<char, kLead.size() + std::numeric_limits<std::size_t>::digits10 + 2> line{};
    kLead.copy(line.data(), kLead.size());
    char* const end = line.data() + line.size();
    char* last = std::to_chars(line.data() + kLead.size(), end, this->batch_rules_.size()).ptr;
    *last++ = '\n';
    std::cout.write(line.data(), last - line.data()).flush();
  }

  void ReadThresholdSettings(const Json::Value& config) {
    std::cout << "here 1" << std::endl;
    const Json::Value* thresholds = battery_settings::Present(config, "thresholdSetting");
    if (thresholds == nullptr) return;
    std::cout << "here 2" << std::endl;
    // A single value has no members; an array is skipped like an object without any.
    if (!thresholds->isObject()) return;
    for (auto member = thresholds->begin(); member != thresholds->end(); ++member) {
      const std::string key = member.name();
      std::cout << "here " << key << std::endl;
      if (member->isObject()) ReadThresholdMember(key, *member);
    }
  }

  void ReadThresholdMember(const std::string& key, const Json::Value& member) {
    if (const Json::Value* name =
            battery_settings::Present(member, battery_settings::kSignalNameMember)) {
      signal_names_[key] = battery_settings::Text(*name);
    }
    std::string descriptor;
    for (const char* part : battery_settings::kDescriptorParts) {
      AppendDescriptorPart(member, part, descriptor);
    }
    std::cout << "mobile:" << key << ":" << descriptor << " level:" << this->level_map_[key]
              << " value:" << this->value_map_[key] << std::endl;
    alarm_desc_[key] = descriptor;
  }

  // An alarm descriptor is its parts, each followed by ';' (empty when missing).
  void AppendDescriptorPart(const Json::Value& member, const char* part, std::string& descriptor) {
    if (const Json::Value* value = battery_settings::Present(member, part)) {
      descriptor += battery_settings::Text(*value);
    } else {
      std::cout << this->DataId() << " " << part << " is missing" << std::endl;
    }
    descriptor += ';';
  }
};
