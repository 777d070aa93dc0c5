#include "battery/battery.h"

#include <array>
#include <cstring>
#include <stdexcept>

#include "battery/byte_order.h"
#include "battery/local_time.h"
#include "battery/settings.h"
#include "battery/variable_names.h"

using battery_link::Command;

static_assert(kRxBufferSize >= battery_link::kGatherBound - 1,
              "the receive buffer must hold every chunk that passes the gathering bound");
static_assert(kRxBufferSize >= battery_link::kCellAnswerSize);

Battery::Battery() {
  baud_rate_ = battery_link::kBaudRate;
}

Battery::~Battery() = default;

// ---------------------------------------------------------------------------
// Link: frames and checksum

unsigned char Battery::GetMMCheckSum(const unsigned char* data, int len) {
  return len <= 0 ? 0 : battery_link::Checksum(data, static_cast<std::size_t>(len));
}

bool Battery::HeldAnswerIsValid(std::size_t size) const {
  const unsigned char* frame = rx_buffer_.data();
  return frame[0] == battery_link::kAnswerLead &&
         frame[battery_link::kAnswerAddressOffset] == device_address_ &&
         frame[size - 1] == GetMMCheckSum(frame + 1, static_cast<int>(size - 2));
}

// ---------------------------------------------------------------------------
// Polling cycle
//
//   idle --tick--> cells --answer--> group voltage --answer--> current
//        --answer--> temperature --answer--> end of cycle (RoundDone) --> idle
//
// One request is outstanding at a time; cmd_type_ holds its kind, 0 when idle,
// and kRequests below its command and answer length.
// Each accepted answer is decoded and sends the next request at once, from
// inside process. A poll tick that finds a request outstanding re-sends it;
// the battery_link::kResendsPerCycle re-sends are one budget for the whole cycle, so retry_count_
// is not reset when an answer is accepted, only when a tick starts a new cycle
// and when a completed cycle is checked (RunCheckThreshold). A rejected answer
// or a chunk past the gathering bound gives the cycle up (GiveUp): idle until
// the next tick.

constexpr std::array<Battery::Request, battery_link::kRequestsPerCycle> Battery::kRequests = {{
    {RequestKind::kCellVoltages, Command::kCellVoltages, battery_link::kCellAnswerSize, nullptr},
    {RequestKind::kGroupVoltage, Command::kGroupVoltage, battery_link::kShortAnswerSize,
     &Battery::DecodeGroupVoltage},
    {RequestKind::kGroupCurrent, Command::kGroupCurrent, battery_link::kShortAnswerSize,
     &Battery::DecodeGroupCurrent},
    {RequestKind::kTemperature, Command::kTemperature, battery_link::kShortAnswerSize,
     &Battery::DecodeTemperature},
}};

const Battery::Request& Battery::RequestOf(RequestKind kind) {
  static_assert(
      [] {
        for (std::size_t row = 0; row < kRequests.size(); ++row) {
          if (static_cast<std::size_t>(kRequests[row].kind) != row + 1) return false;
        }
        return true;
      }(),
      "row k - 1 of the table holds kind k");
  return kRequests[static_cast<std::size_t>(kind) - 1];
}

const Battery::Request* Battery::Find(int kind) {
  if (kind < 1 || kind > static_cast<int>(kRequests.size())) return nullptr;
  return &RequestOf(static_cast<RequestKind>(kind));
}

std::size_t Battery::AnswerSize(RequestKind kind) {
  return RequestOf(kind).answer_size;
}

void Battery::SendRequest(RequestKind kind) {
  rx_length_ = 0;
  std::array<unsigned char, battery_link::kRequestSize> frame{
      battery_link::kRequestLead, battery_link::kRequestLead, device_address_,
      static_cast<unsigned char>(RequestOf(kind).command), 0};
  frame[battery_link::kRequestChecksumOffset] =
      GetMMCheckSum(frame.data() + battery_link::kRequestAddressOffset, 2);
  PXHSPDevice::SendData(frame.data(), static_cast<unsigned int>(frame.size()));
  cmd_type_ = static_cast<int>(kind);
  last_update_ = LocalNow();
}

void Battery::CallVoltage() {
  SendRequest(RequestKind::kCellVoltages);
}
void Battery::CallGroupVoltage() {
  SendRequest(RequestKind::kGroupVoltage);
}
void Battery::CallCurrent() {
  SendRequest(RequestKind::kGroupCurrent);
}
void Battery::CallTemperature() {
  SendRequest(RequestKind::kTemperature);
}

int Battery::RefreshStatus() {
  if (!Idle()) {
    const int spent = retry_count_++;
    if (spent < battery_link::kResendsPerCycle) {
      // A kind that names no request is re-sent as the cycle's first request.
      const Request* outstanding = Find(cmd_type_);
      SendRequest(outstanding != nullptr ? outstanding->kind : RequestKind::kCellVoltages);
      return 1;
    }
  }
  retry_count_ = 0;
  PXHSPDevice::RefreshStatus();
  CallVoltage();
  return 1;
}

int Battery::process(unsigned char* data, unsigned int length) {
  last_update_ = LocalNow();
  // Held plus new bytes must stay below the bound, counted on the length as
  // passed. Written as a subtraction from the bound so that a huge length
  // cannot wrap the sum past the check.
  if (rx_length_ >= battery_link::kGatherBound ||
      length >= battery_link::kGatherBound - rx_length_) {
    rx_length_ = 0;
    return GiveUp();
  }
  // Only a chunk within the bound may be null: it carries no bytes.
  if (data != nullptr) GatherChunk(data, length);
  if (Idle()) return 0;  // the held bytes are dropped by the next request
  const Request* outstanding = Find(cmd_type_);
  if (outstanding == nullptr) return GiveUp();
  if (outstanding->decode == nullptr) return ProcessBatteryVoltage();
  return ProcessShortAnswer(*outstanding);
}

void Battery::GatherChunk(const unsigned char* data, unsigned int length) {
  if (length == 0) return;
  if (rx_length_ != 0) {  // an answer has begun: keep every byte
    std::memcpy(rx_buffer_.data() + rx_length_, data, length);
    rx_length_ += length;
    return;
  }
  // An empty buffer starts at the first lead byte; what comes before it is noise.
  const void* lead = std::memchr(data, battery_link::kAnswerLead, length);
  if (lead == nullptr) return;
  const auto skipped = static_cast<unsigned int>(static_cast<const unsigned char*>(lead) - data);
  std::memcpy(rx_buffer_.data(), lead, length - skipped);
  rx_length_ = length - skipped;
}

bool Battery::Idle() const {
  return cmd_type_ == static_cast<int>(RequestKind::kNone);
}

int Battery::GiveUp() {
  cmd_type_ = static_cast<int>(RequestKind::kNone);
  return 0;
}

int Battery::ProcessShortAnswer(const Request& request) {
  // A short answer must arrive whole in the first chunk after its request.
  if (rx_length_ < request.answer_size) return GiveUp();
  const bool accepted = HeldAnswerIsValid(request.answer_size);
  rx_length_ = 0;  // consumed whatever the outcome; bytes behind the answer are dropped
  if (!accepted) return GiveUp();
  const auto raw = static_cast<float>(
      byte_order::ReadBigEndian<std::uint16_t>(rx_buffer_, battery_link::kShortAnswerValueOffset));
  return (this->*request.decode)(raw);
}

// The decoders compute in single precision, one rounded operation per step.

int Battery::DecodeGroupVoltage(float raw) {
  const float volts = version_ == 2 ? raw / 100.0f : raw / 10.0f;
  group_voltage_ = volts * group_a_;
  group_voltage_ = group_voltage_ + group_b_;
  group_voltage_valid_ = true;
  for (const unsigned int peer : group_voltage_ids_) {
    try {
      group_voltage_ =
          PXHSPDevice::Get_SP_Value(peer, battery_names::kGroupVoltage) + group_voltage_;
    } catch (const std::out_of_range&) {
      // Without every peer the sum is meaningless for this cycle.
      group_voltage_ = 0.0f;
      group_voltage_valid_ = false;
      break;
    }
  }
  CallCurrent();
  return 1;
}

int Battery::DecodeGroupCurrent(float raw) {
  if (current_ratio_ != 0) {
    // A current transducer: 2500 (250.0) is zero, each 125 counts a step of 50 A.
    group_current_ = ((raw / 10.0f) / 125.0f - 2.0f) * 50.0f;
  } else if (r_data_id_ != 0 && !r_current_field_.empty()) {
    try {
      group_current_ =
          PXHSPDevice::Get_SP_Value(static_cast<unsigned int>(r_data_id_), r_current_field_);
    } catch (const std::out_of_range&) {
      // The source device has nothing yet: keep the last current.
    }
  } else {
    group_current_ = raw / 10.0f;
  }
  CallTemperature();
  return 1;
}

int Battery::DecodeTemperature(float raw) {
  const float degrees = raw / 100.0f;
  if (degrees > 0.0f && degrees <= 100.0f) temperature_ = degrees;
  cmd_type_ = static_cast<int>(RequestKind::kNone);  // the cycle is over before the record goes out
  RoundDone();
  if (!data_ready_) data_ready_ = true;
  return 0;
}

// ---------------------------------------------------------------------------
// Value queries

float Battery::Get_Value(unsigned int /*data_id*/, const std::string& name) const {
  if (name == battery_names::kGroupVoltage) return group_voltage_;
  if (name == battery_names::kGroupCurrent) return group_current_;
  if (name == battery_names::kTemperature) return temperature_;
  throw std::out_of_range("不支持变量");
}

// ---------------------------------------------------------------------------
// Settings and control

int Battery::DeviceIoControl(int code, const void* in, int /*in_length*/, void* /*out*/,
                             int /*out_length*/, int& /*result*/) {
  if (code == kControlSetSaveInterval && in != nullptr) {
    std::uint16_t minutes = 0;
    std::memcpy(&minutes, in, sizeof minutes);
    save_interval_ = minutes == 0 ? kDefaultSaveIntervalSeconds : minutes * 60;
  }
  return 0;
}

int Battery::InitSetting(const Json::Value& config) {
  // The host stores the address with its top bit set; the monitor answers without it.
  device_address_ = static_cast<std::uint8_t>(device_address_ - 128u);
  const Json::Value* settings = battery_settings::PresentObject(config, "appSetting");
  if (settings == nullptr) return 1;
  ReadNumericSettings(*settings);
  ReadGroupSplit(*settings);
  ReadListSettings(*settings);
  return 1;
}

void Battery::ReadNumericSettings(const Json::Value& settings) {
  using namespace battery_settings;
  if (const auto* v = Present(settings, "battery_type")) battery_type_ = ToTruncatedInt(*v);
  if (const auto* v = Present(settings, "current_ratio")) current_ratio_ = ToTruncatedInt(*v);
  if (const auto* v = Present(settings, "group_a")) group_a_ = ToFloat(*v);
  if (const auto* v = Present(settings, "group_b")) group_b_ = ToFloat(*v);
  if (const auto* v = Present(settings, "battery_adjust")) battery_adjust_ = ToFloat(*v);
  if (const auto* v = Present(settings, "version")) version_ = ToInt(*v);
  if (const auto* v = Present(settings, "dir")) dir_ = ToInt(*v);
  if (const auto* v = Present(settings, "r_data_id")) r_data_id_ = ToInt(*v);
  if (const auto* v = Present(settings, "r_current_field")) r_current_field_ = Text(*v);
  if (const auto* v = Present(settings, "save_interval")) {
    // Minutes; computed wide so that a huge count cannot overflow.
    const long long seconds = static_cast<long long>(ToInt(*v)) * 60;
    save_interval_ = seconds <= 0          ? kDefaultSaveIntervalSeconds
                     : seconds > INT32_MAX ? INT32_MAX
                                           : static_cast<int>(seconds);
  }
}

void Battery::ReadGroupSplit(const Json::Value& settings) {
  using namespace battery_settings;
  // A string split over two monitors: each watches its first `amount` cells
  // (BatteryStart numbers them on from the group's first cell).
  const Json::Value* group = Present(settings, "group_index");
  const Json::Value* amount = Present(settings, "amount");
  if (group == nullptr || amount == nullptr) return;
  const int index = ToInt(*group);
  const int count = ToInt(*amount);
  if (index != 1 && index != 2) return;
  const int appended = count < kMaxGroupAmount ? count : kMaxGroupAmount;
  for (int cell = 0; cell < appended; ++cell) active_batteries_.push_back(cell);
}

namespace {

template <typename T>
void AppendUnique(std::vector<T>& list, T value) {
  for (const T& held : list) {
    if (held == value) return;
  }
  list.push_back(value);
}

}  // namespace

void Battery::ReadListSettings(const Json::Value& settings) {
  using namespace battery_settings;
  if (const auto* cells = PresentArray(settings, "active_batteries")) {
    for (const Json::Value& cell : *cells) AppendUnique(active_batteries_, ToInt(cell));
  }
  if (const auto start = BatteryStart(settings)) battery_start_ = *start;
  if (const auto* peers = PresentArray(settings, "group_voltage")) {
    for (const Json::Value& peer : *peers) {
      AppendUnique(group_voltage_ids_, static_cast<unsigned int>(ToDataId(peer)));
    }
  }
  if (const auto* v = Present(settings, "t0")) t0_ = ToFloat(*v);
  if (const auto* v = Present(settings, "t31")) t31_ = ToFloat(*v);
}
