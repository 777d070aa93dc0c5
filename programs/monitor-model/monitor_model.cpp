#include "programs/monitor-model/monitor_model.h"

#include <algorithm>
#include <cmath>

#include "battery/byte_order.h"
#include "programs/monitor-model/fault_table.h"

namespace monitor_sim {

using battery_link::Checksum;
using battery_link::Command;

namespace {

// Mean-reverting random walks keep every value within a band around its base.
constexpr float kReversion = 0.95f;
struct Walk {
  float step;   // standard deviation of one step
  float bound;  // largest distance from the base
};
constexpr Walk kCellWalk{0.002f, 0.05f};
constexpr Walk kGroupWalk{0.1f, 2.0f};
constexpr Walk kCurrentWalk{0.05f, 1.0f};
constexpr Walk kTemperatureWalk{0.02f, 2.0f};
// Cells of one string differ a little from each other, for good.
constexpr float kCellSpread = 0.02f;

std::uint16_t ToRaw(double units) {
  const double rounded = std::round(units);
  if (!(rounded >= 0.0)) return 0;
  return rounded > 65535.0 ? 65535 : static_cast<std::uint16_t>(rounded);
}

float Step(std::mt19937& random, float drift, const Walk& walk) {
  std::normal_distribution<float> noise(0.0f, walk.step);
  return std::clamp(drift * kReversion + noise(random), -walk.bound, walk.bound);
}

}  // namespace

double FaultRates::Sum() const {
  double sum = 0.0;
  for (const FaultKind& kind : kFaultKinds) sum += this->*kind.rate;
  return sum;
}

const char* FaultName(Fault fault) {
  for (const FaultKind& kind : kFaultKinds) {
    if (kind.fault == fault) return kind.name;
  }
  return "none";
}

std::optional<Request> RequestParser::Feed(std::uint8_t byte) {
  window_[held_++] = byte;
  if (held_ < window_.size()) return std::nullopt;
  const bool lead =
      window_[0] == battery_link::kRequestLead && window_[1] == battery_link::kRequestLead;
  const std::uint8_t* covered = window_.data() + battery_link::kRequestAddressOffset;
  if (lead && Checksum(covered, 2) == window_[battery_link::kRequestChecksumOffset]) {
    held_ = 0;
    return Request{window_[battery_link::kRequestAddressOffset],
                   static_cast<Command>(window_[battery_link::kRequestCommandOffset])};
  }
  // Not a request here: look for one starting at the next byte.
  std::copy(window_.begin() + 1, window_.end(), window_.begin());
  --held_;
  return std::nullopt;
}

std::size_t BuildShortAnswer(std::uint8_t address, std::uint16_t raw, std::uint8_t* out) {
  out[0] = battery_link::kAnswerLead;
  out[1] = address;
  byte_order::WriteBigEndian(byte_order::ByteSpan{out, battery_link::kShortAnswerSize},
                             battery_link::kShortAnswerValueOffset, raw);
  out[4] = Checksum(out + 1, 3);
  return battery_link::kShortAnswerSize;
}

std::size_t BuildCellAnswer(std::uint8_t address, const RawValues& values, std::uint8_t* out) {
  const byte_order::ByteSpan frame{out, battery_link::kCellAnswerSize};
  out[0] = battery_link::kAnswerLead;
  out[1] = address;
  std::size_t at = battery_link::kCellAnswerValuesOffset;
  for (const std::uint16_t raw : values.cells) {
    byte_order::WriteBigEndian(frame, at, raw);
    at += sizeof raw;
  }
  out[at] = Checksum(out + 1, at - 1);
  return battery_link::kCellAnswerSize;
}

namespace {

// Every encoding is linear: raw = value x scale + offset, rounded.
struct LinearCode {
  double scale;
  double offset;
};
constexpr double kMaxRaw = 65535.0;

LinearCode GroupVoltageCode(int version) {
  return {version == 2 ? 100.0 : 10.0, 0.0};
}

LinearCode CurrentCode(CurrentEncoding encoding) {
  // (amperes / 50 + 2) x 1250 in the offset form.
  return encoding == CurrentEncoding::kOffset ? LinearCode{25.0, 2500.0} : LinearCode{10.0, 0.0};
}

constexpr LinearCode kCellCode{1000.0, 0.0};
constexpr LinearCode kTemperatureCode{100.0, 0.0};

std::uint16_t EncodeLinear(float value, LinearCode code) {
  return ToRaw(static_cast<double>(value) * code.scale + code.offset);
}

double DecodeLinear(double raw, LinearCode code) {
  return (raw - code.offset) / code.scale;
}

LinearCode CodeOf(ValueKind kind, const MonitorSettings& settings) {
  switch (kind) {
    case ValueKind::kGroupVoltage:
      return GroupVoltageCode(settings.version);
    case ValueKind::kCurrent:
      return CurrentCode(settings.current_encoding);
    case ValueKind::kTemperature:
      return kTemperatureCode;
    case ValueKind::kCell:
      break;
  }
  return kCellCode;
}

struct KindText {
  ValueKind kind;
  const char* name;
  const char* unit;
};
constexpr KindText kKindTexts[] = {{ValueKind::kCell, "cell voltage", "V"},
                                   {ValueKind::kGroupVoltage, "group voltage", "V"},
                                   {ValueKind::kCurrent, "current", "A"},
                                   {ValueKind::kTemperature, "temperature", "°C"}};

const KindText& TextOf(ValueKind kind) {
  for (const KindText& text : kKindTexts) {
    if (text.kind == kind) return text;
  }
  return kKindTexts[0];
}

}  // namespace

const char* ValueKindName(ValueKind kind) {
  return TextOf(kind).name;
}

const char* ValueKindUnit(ValueKind kind) {
  return TextOf(kind).unit;
}

std::uint16_t EncodeCell(float volts) {
  return EncodeLinear(volts, kCellCode);
}

std::uint16_t EncodeGroupVoltage(float volts, int version) {
  return EncodeLinear(volts, GroupVoltageCode(version));
}

std::uint16_t EncodeCurrent(float amperes, CurrentEncoding encoding) {
  return EncodeLinear(amperes, CurrentCode(encoding));
}

std::uint16_t EncodeTemperature(float degrees) {
  return EncodeLinear(degrees, kTemperatureCode);
}

MonitorModel::MonitorModel(const MonitorSettings& settings, UnencodableListener unencodable)
    : settings_(settings), unencodable_(std::move(unencodable)), random_(settings.seed) {
  std::uniform_real_distribution<float> spread(-kCellSpread, kCellSpread);
  for (float& offset : cell_spread_) offset = spread(random_);
  Measure();
}

std::uint16_t MonitorModel::Encode(ValueKind kind, float value) const {
  const LinearCode code = CodeOf(kind, settings_);
  const std::uint16_t raw = EncodeLinear(value, code);
  const double rounded = std::round(static_cast<double>(value) * code.scale + code.offset);
  if (unencodable_ && !(rounded >= 0.0 && rounded <= kMaxRaw)) {
    unencodable_({kind, static_cast<double>(value), DecodeLinear(raw, code),
                  DecodeLinear(0.0, code), DecodeLinear(kMaxRaw, code)});
  }
  return raw;
}

void MonitorModel::Measure() {
  for (std::size_t i = 0; i < cell_drift_.size(); ++i) {
    cell_drift_[i] = Step(random_, cell_drift_[i], kCellWalk);
    values_.cells[i] =
        Encode(ValueKind::kCell, settings_.cell_voltage + cell_spread_[i] + cell_drift_[i]);
  }
  group_drift_ = Step(random_, group_drift_, kGroupWalk);
  current_drift_ = Step(random_, current_drift_, kCurrentWalk);
  temperature_drift_ = Step(random_, temperature_drift_, kTemperatureWalk);
  values_.group_voltage = Encode(ValueKind::kGroupVoltage, settings_.group_voltage + group_drift_);
  values_.group_current = Encode(ValueKind::kCurrent, settings_.current + current_drift_);
  values_.temperature = Encode(ValueKind::kTemperature, settings_.temperature + temperature_drift_);
}

Fault MonitorModel::DrawFault() {
  const FaultRates& rates = settings_.faults;
  if (rates.Sum() <= 0.0) return Fault::kNone;
  double draw = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  for (const FaultKind& kind : kFaultKinds) {
    const double rate = rates.*kind.rate;
    if (draw < rate) return kind.fault;
    draw -= rate;
  }
  return Fault::kNone;
}

std::optional<Reply> MonitorModel::Answer(const Request& request) {
  if (request.address != settings_.address) return std::nullopt;
  if (request.command == Command::kCellVoltages) Measure();
  Reply reply;
  reply.fault = DrawFault();
  reply.delay = settings_.latency;
  if (reply.fault == Fault::kNoAnswer) return reply;
  Frame(request, reply);
  Inject(reply);
  return reply;
}

void MonitorModel::Frame(const Request& request, Reply& reply) const {
  const std::uint8_t address = reply.fault == Fault::kWrongAddress
                                   ? static_cast<std::uint8_t>(settings_.address + 1u)
                                   : settings_.address;
  std::uint8_t* out = reply.bytes.data();
  switch (request.command) {
    case Command::kCellVoltages:
      reply.size = BuildCellAnswer(address, values_, out);
      break;
    case Command::kGroupVoltage:
      reply.size = BuildShortAnswer(address, values_.group_voltage, out);
      break;
    case Command::kGroupCurrent:
      reply.size = BuildShortAnswer(address, values_.group_current, out);
      break;
    case Command::kTemperature:
      reply.size = BuildShortAnswer(address, values_.temperature, out);
      break;
  }
}

void MonitorModel::Inject(Reply& reply) {
  switch (reply.fault) {
    case Fault::kBadChecksum: {
      std::uint8_t& checksum = reply.bytes[reply.size - 1];
      checksum = static_cast<std::uint8_t>((checksum + 1u) % 254u);
      break;
    }
    case Fault::kGarbage: {
      const auto count = std::uniform_int_distribution<std::size_t>(1, kMaxGarbage)(random_);
      std::copy_backward(reply.bytes.begin(), reply.bytes.begin() + static_cast<long>(reply.size),
                         reply.bytes.begin() + static_cast<long>(reply.size + count));
      std::uniform_int_distribution<unsigned> byte(0, 0xEC);  // never the answer's lead byte
      for (std::size_t i = 0; i < count; ++i)
        reply.bytes[i] = static_cast<std::uint8_t>(byte(random_));
      reply.size += count;
      break;
    }
    case Fault::kSplit:
      reply.split_at = std::uniform_int_distribution<std::size_t>(1, reply.size - 1)(random_);
      break;
    case Fault::kLate:
      reply.delay = settings_.late;
      break;
    default:
      break;
  }
}

}  // namespace monitor_sim
