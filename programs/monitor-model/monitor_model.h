#pragma once

// The battery monitor's side of the link: it parses the controller's requests
// from the byte stream, keeps measurements that drift over time, and builds
// the answers, with faults injected at configured rates. It does no input or
// output; the simulator program and the host's `sim` ports put its answers on
// a pseudo-terminal or hand them straight back to the host.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "battery/link.h"

namespace monitor_sim {

// Probability (0..1) of each fault per answer; at most one fault hits an
// answer. What each does: kFaultKinds (fault_table.h).
struct FaultRates {
  double no_answer = 0.0;
  double bad_checksum = 0.0;
  double wrong_address = 0.0;
  double garbage = 0.0;
  double split = 0.0;
  double late = 0.0;

  double Sum() const;
};

enum class Fault { kNone, kNoAnswer, kBadChecksum, kWrongAddress, kGarbage, kSplit, kLate };
const char* FaultName(Fault fault);

// How the monitor encodes its values; it must match the plug-in's settings
// ("version" and "current_ratio" in appSetting).
enum class CurrentEncoding {
  kTenths,  // raw = amperes x 10 (current_ratio 0)
  kOffset,  // raw = (amperes / 50 + 2) x 1250 (current_ratio non-zero)
};

struct MonitorSettings {
  std::uint8_t address = 0x01;  // as the monitor answers (the host stores it with the top bit set)
  float cell_voltage = 2.20f;   // volts, base of every cell
  float group_voltage = 70.4f;  // volts
  float current = 1.5f;         // amperes
  float temperature = 25.0f;    // degrees Celsius
  int version = 1;              // 2: group voltage in 0.01 V, else 0.1 V
  CurrentEncoding current_encoding = CurrentEncoding::kTenths;
  std::uint32_t seed = 1;
  FaultRates faults;
  std::chrono::milliseconds latency{5};     // time to answer
  std::chrono::milliseconds late{300};      // time to answer when late
  std::chrono::milliseconds split_gap{30};  // pause inside a split answer
};

// Raw values as they go on the line.
struct RawValues {
  std::array<std::uint16_t, battery_link::kCellCount> cells{};  // millivolts
  std::uint16_t group_voltage = 0;
  std::uint16_t group_current = 0;
  std::uint16_t temperature = 0;
};

struct Request {
  std::uint8_t address = 0;
  battery_link::Command command = battery_link::Command::kCellVoltages;
  // Position of the request among all requests a simulated line heard, 1 for
  // the first, counted whatever the address and whether it was answered; 0
  // when no line counted it. Lets a log of answers be lined up with the
  // requests the controller wrote.
  std::uint64_t number = 0;
};

// Finds well-formed requests (FE FE address command checksum) in a byte
// stream that arrives in arbitrary chunks; anything else is skipped.
class RequestParser {
 public:
  std::optional<Request> Feed(std::uint8_t byte);

 private:
  std::array<std::uint8_t, battery_link::kRequestSize> window_{};
  std::size_t held_ = 0;
};

// Longest thing the monitor writes in one answer: garbage plus a cell answer.
inline constexpr std::size_t kMaxGarbage = 8;
inline constexpr std::size_t kMaxReplySize = kMaxGarbage + battery_link::kCellAnswerSize;

struct Reply {
  std::array<std::uint8_t, kMaxReplySize> bytes{};
  std::size_t size = 0;
  std::size_t split_at = 0;  // 0: written at once; else the first chunk's length
  std::chrono::milliseconds delay{0};
  Fault fault = Fault::kNone;
  // The payload is what the monitor measured and the frame is valid for its address.
  bool Intact() const {
    return fault != Fault::kBadChecksum && fault != Fault::kWrongAddress &&
           fault != Fault::kNoAnswer;
  }
};

// Frames as the monitor sends them.
std::size_t BuildShortAnswer(std::uint8_t address, std::uint16_t raw, std::uint8_t* out);
std::size_t BuildCellAnswer(std::uint8_t address, const RawValues& values, std::uint8_t* out);

// Raw encodings of the measurements (rounded to the nearest unit, clamped to 16 bits).
std::uint16_t EncodeCell(float volts);
std::uint16_t EncodeGroupVoltage(float volts, int version);
std::uint16_t EncodeCurrent(float amperes, CurrentEncoding encoding);
std::uint16_t EncodeTemperature(float degrees);

// The values a monitor measures, as they are encoded.
enum class ValueKind { kCell, kGroupVoltage, kCurrent, kTemperature };

// A value that its 16-bit encoding cannot carry (below 0 or above 65535 raw
// units; a negative current, a temperature below 0 °C), and what was sent
// instead: the nearest value that it can.
struct Unencodable {
  ValueKind kind;
  double value;
  double sent;
  double lowest;  // the range the encoding carries
  double highest;
};
using UnencodableListener = std::function<void(const Unencodable&)>;
const char* ValueKindName(ValueKind kind);  // "current"
const char* ValueKindUnit(ValueKind kind);  // "A"

class MonitorModel {
 public:
  // `unencodable` hears of every measured value that its encoding cannot carry.
  explicit MonitorModel(const MonitorSettings& settings, UnencodableListener unencodable = {});

  std::uint8_t Address() const { return settings_.address; }
  const MonitorSettings& Settings() const { return settings_; }
  // The values of the latest measurement.
  const RawValues& Values() const { return values_; }

  // The answer to `request`, or nothing when it is meant for another monitor.
  // A cell-voltage request starts a new measurement: the values drift one step.
  std::optional<Reply> Answer(const Request& request);

 private:
  void Measure();
  std::uint16_t Encode(ValueKind kind, float value) const;
  Fault DrawFault();
  void Frame(const Request& request, Reply& reply) const;
  void Inject(Reply& reply);

  MonitorSettings settings_;
  UnencodableListener unencodable_;
  std::mt19937 random_;
  std::array<float, battery_link::kCellCount> cell_spread_{};
  std::array<float, battery_link::kCellCount> cell_drift_{};
  float group_drift_ = 0.0f;
  float current_drift_ = 0.0f;
  float temperature_drift_ = 0.0f;
  RawValues values_;
};

}  // namespace monitor_sim
