#include "tests/soak/soak_check.h"

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

namespace soak {

namespace {

constexpr const char* kTracePrefix = "battery-host: ";
constexpr const char* kPluginLine = " plug-in: ";
constexpr const char* kSilent = ": no cycle completed for ";
constexpr const char* kAnswering = ": answering again (";
constexpr std::size_t kRequestSize = 5;
constexpr std::size_t kRequestCommandOffset = 3;

std::uint8_t CommandCode(const std::string& command) {
  if (command == "cells") return 0xA1;
  if (command == "group_voltage") return 0xA2;
  if (command == "group_current") return 0xA3;
  if (command == "temperature") return 0xA4;
  return 0;
}

// "battery-host: [DATA_ID ]WHAT REST (LINE)", as the host's --trace writes it.
struct TraceLine {
  std::optional<unsigned> data_id;
  std::string what;  // tx, rx, echo, cycle, held, stale
  std::string rest;
  std::string line;
};

std::optional<TraceLine> ParseTraceLine(const std::string& text) {
  const std::size_t open = text.rfind(" (");
  if (text.rfind(kTracePrefix, 0) != 0 || open == std::string::npos || text.back() != ')') {
    return std::nullopt;
  }
  TraceLine trace;
  trace.line = text.substr(open + 2, text.size() - open - 3);
  std::istringstream words(
      text.substr(std::strlen(kTracePrefix), open - std::strlen(kTracePrefix)));
  std::string first;
  words >> first;
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!first.empty() && std::all_of(first.begin(), first.end(), is_digit)) {
    trace.data_id = static_cast<unsigned>(std::stoul(first));
    words >> trace.what;
  } else {
    trace.what = first;
  }
  std::getline(words >> std::ws, trace.rest);
  static const std::set<std::string> kKnown = {"tx", "rx", "echo", "cycle", "held", "stale", "sp"};
  if (kKnown.count(trace.what) == 0) return std::nullopt;
  return trace;
}

std::vector<std::uint8_t> HexBytes(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

std::optional<Json::Value> ParseJsonLine(const std::string& text) {
  static const Json::CharReaderBuilder builder;
  static const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return std::nullopt;
  return value;
}

std::array<float, kCells> DecodedCells(const SentAnswer& answer) {
  std::array<float, kCells> cells{};
  for (std::size_t i = 0; i < kCells && i < answer.raw.size(); ++i) {
    cells[i] = CellVolts(answer.raw[i]);
  }
  return cells;
}

std::string Joined(const std::set<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : "+") + word;
  return text;
}

struct CycleState {
  std::vector<std::uint64_t> requests;  // numbers of the requests written in the cycle
  std::vector<const SentAnswer*> answers;
  bool completed = false;
  std::optional<std::pair<unsigned, std::size_t>> turn_before;  // device and cycle on the line
};

struct TxState {
  unsigned data_id = 0;
  std::uint8_t command = 0;
  std::size_t cycle = 0;
};

struct LineState {
  const LineInput* input = nullptr;
  std::vector<TxState> tx;
  std::optional<std::pair<unsigned, std::size_t>> last_turn;
};

struct DeviceState {
  const DeviceInput* input = nullptr;
  LineState* line = nullptr;
  std::vector<CycleState> cycles;
  std::vector<Measurement> records;
  std::optional<Json::Value> summary;
};

// How a field of the record is decoded from the raw value of its answer.
struct Field {
  const char* command;
  const char* label;
  float Measurement::*value;
  float (*decode)(unsigned raw);
};
const Field kShortFields[] = {
    {"group_voltage", "group voltage", &Measurement::group_voltage, GroupVolts},
    {"group_current", "group current", &Measurement::group_current, GroupAmperes},
    {"temperature", "temperature", &Measurement::temperature, Degrees},
};

class Checker {
 public:
  Checker(const std::vector<LineInput>& lines, const std::vector<DeviceInput>& devices) {
    for (const LineInput& line : lines) lines_[line.name].input = &line;
    for (const DeviceInput& device : devices) AddDevice(device);
  }

  Report Run(const std::string& host_output) {
    std::istringstream in(host_output);
    std::size_t number = 0;
    for (std::string text; std::getline(in, text);) HostLine(text, ++number);
    for (auto& [name, line] : lines_) LineUpAnswers(line);
    for (auto& [data_id, device] : devices_) Finish(device);
    return std::move(report_);
  }

 private:
  void AddDevice(const DeviceInput& input) {
    DeviceState& device = devices_[input.data_id];
    device.input = &input;
    const auto line = lines_.find(input.line);
    if (line == lines_.end()) return Problem("device " + Id(device) + ": no log of " + input.line);
    device.line = &line->second;
  }

  void HostLine(const std::string& stamped, std::size_t number) {
    if (stamped.empty()) return;
    if (stamped.front() == '{') return JsonLine(stamped, number);
    const std::string text = WithoutTimeStamp(stamped);
    // The plug-in's own lines, and a device that stops answering for a while and answers again.
    for (const char* known : {kPluginLine, kSilent, kAnswering}) {
      if (text.find(known) != std::string::npos) return;
    }
    const auto trace = ParseTraceLine(text);
    if (!trace) return Problem("host output line " + std::to_string(number) + ": " + text);
    if (!trace->data_id) return;
    DeviceState* device = Device(*trace->data_id, number);
    if (device == nullptr || device->line == nullptr) return;
    if (trace->what == "cycle") StartCycle(*device);
    if (trace->what == "tx") Request(*device, HexBytes(trace->rest), number);
  }

  void JsonLine(const std::string& text, std::size_t number) {
    const auto line = ParseJsonLine(text);
    if (!line) return Problem("host output line " + std::to_string(number) + ": not JSON");
    const std::string type = (*line)["type"].asString();
    if (type != "record" && type != "summary") return;
    DeviceState* device = Device((*line)["data_id"].asUInt(), number);
    if (device == nullptr || device->line == nullptr) return;
    if (type == "summary") {
      device->summary = *line;
      return;
    }
    Record(*device, FromRecordJson(*line), number);
  }

  DeviceState* Device(unsigned data_id, std::size_t number) {
    const auto found = devices_.find(data_id);
    if (found != devices_.end()) return &found->second;
    Problem("host output line " + std::to_string(number) + ": unknown data id " +
            std::to_string(data_id));
    return nullptr;
  }

  void StartCycle(DeviceState& device) {
    CycleState cycle;
    cycle.turn_before = device.line->last_turn;
    device.line->last_turn = std::pair{device.input->data_id, device.cycles.size()};
    device.cycles.push_back(cycle);
    ++report_.cycles_started;
  }

  void Request(DeviceState& device, const std::vector<std::uint8_t>& frame, std::size_t number) {
    LineState& line = *device.line;
    if (frame.size() != kRequestSize || device.cycles.empty()) {
      Problem("host output line " + std::to_string(number) + ": request outside a cycle");
      return;
    }
    line.tx.push_back(
        {device.input->data_id, frame[kRequestCommandOffset], device.cycles.size() - 1});
    device.cycles.back().requests.push_back(line.tx.size());
  }

  void Record(DeviceState& device, const Measurement& m, std::size_t number) {
    const std::string what = "device " + Id(device) + " record " +
                             std::to_string(device.records.size() + 1) + " (host output line " +
                             std::to_string(number) + ")";
    if (device.cycles.empty() || device.cycles.back().completed) {
      Problem(what + ": published outside a cycle of its own");
    } else {
      device.cycles.back().completed = true;
      ++report_.cycles_completed;
    }
    device.records.push_back(m);
  }

  // Hangs every logged answer on the cycle whose request it answers.
  void LineUpAnswers(LineState& line) {
    for (const SentAnswer& answer : line.input->answers) {
      ++report_.answers;
      if (answer.fault != "none") ++report_.faults_injected[answer.fault];
      if (answer.request == 0 || answer.request > line.tx.size()) {
        Problem(line.input->name + ": answer to request " + std::to_string(answer.request) +
                ", but the trace has " + std::to_string(line.tx.size()) + " requests");
        continue;
      }
      const TxState& tx = line.tx[static_cast<std::size_t>(answer.request - 1)];
      DeviceState& device = devices_.at(tx.data_id);
      if (answer.address != device.input->monitor_address ||
          CommandCode(answer.command) != tx.command) {
        Problem(line.input->name + ": answer to request " + std::to_string(answer.request) +
                " does not match the request in the trace");
        continue;
      }
      device.cycles[tx.cycle].answers.push_back(&answer);
    }
  }

  void Finish(DeviceState& device) {
    if (device.line == nullptr) return;
    CheckSummary(device);
    CheckHistory(device);
    CheckOwnAnswers(device);
    ClassifyCycles(device);
  }

  // The k-th completed cycle published the k-th record: its own values.
  void CheckOwnAnswers(const DeviceState& device) {
    std::size_t record = 0;
    for (std::size_t i = 0; i < device.cycles.size() && record < device.records.size(); ++i) {
      if (!device.cycles[i].completed) continue;
      CheckCycleValues(device, i, device.records[record++]);
    }
  }

  void CheckCycleValues(const DeviceState& device, std::size_t index, const Measurement& m) {
    const std::string what = "device " + Id(device) + " cycle " + std::to_string(index + 1);
    const CycleState& cycle = device.cycles[index];
    report_.values_checked += 1 + static_cast<long long>(std::size(kShortFields));
    const bool own_cells =
        std::any_of(cycle.answers.begin(), cycle.answers.end(), [&m](const SentAnswer* answer) {
          return answer->intact && answer->command == "cells" && DecodedCells(*answer) == m.cells;
        });
    if (!own_cells) {
      const bool sent = AnySent(device, index, [&m](const SentAnswer& answer) {
        return answer.command == "cells" && DecodedCells(answer) == m.cells;
      });
      ++(sent ? report_.values_from_other_request : report_.values_never_sent);
      Problem(what + ": cells are not those of the cycle's own cell answer" +
              (sent ? " (those of another cell request)" : " (never sent)"));
    }
    for (const Field& field : kShortFields) CheckShortValue(device, index, field, m, what);
  }

  void CheckShortValue(const DeviceState& device, std::size_t index, const Field& field,
                       const Measurement& m, const std::string& what) {
    const float value = m.*field.value;
    const auto decodes_to = [&field, value](const SentAnswer& answer, const std::string& command) {
      return answer.intact && answer.command == command && !answer.raw.empty() &&
             field.decode(answer.raw.front()) == value;
    };
    const CycleState& cycle = device.cycles[index];
    if (std::any_of(cycle.answers.begin(), cycle.answers.end(),
                    [&](const SentAnswer* answer) { return decodes_to(*answer, field.command); })) {
      return;
    }
    std::string source;
    for (const char* command : {"group_voltage", "group_current", "temperature"}) {
      if (command != std::string(field.command) &&
          AnySent(device, index, [&](const SentAnswer& a) { return decodes_to(a, command); })) {
        source = command;
      }
    }
    const std::string text = what + ": " + field.label + " " + std::to_string(value);
    if (!source.empty()) {
      ++report_.values_in_other_field;
      return Problem(text + " is the answer to a " + source + " request");
    }
    if (AnySent(device, index, [&](const SentAnswer& a) { return decodes_to(a, field.command); })) {
      ++report_.values_from_other_request;
      return Problem(text + " is the answer to another " + field.command + " request");
    }
    ++report_.values_never_sent;
    Problem(text + " was never sent");
  }

  // Whether an answer to a request of the device's cycles 1 .. index + 1 matches.
  template <typename Match>
  static bool AnySent(const DeviceState& device, std::size_t index, Match match) {
    for (std::size_t i = 0; i <= index; ++i) {
      for (const SentAnswer* answer : device.cycles[i].answers) {
        if (answer->intact && match(*answer)) return true;
      }
    }
    return false;
  }

  void CheckSummary(const DeviceState& device) {
    if (!device.summary) return Problem("device " + Id(device) + ": no summary line");
    const auto completed = static_cast<long long>(device.records.size());
    const auto started = static_cast<long long>(device.cycles.size());
    const Json::Value& summary = *device.summary;
    report_.stale_bytes += summary["stale_bytes"].asInt64();
    if (summary["cycles_started"].asInt64() != started ||
        summary["cycles_completed"].asInt64() != completed) {
      Problem("device " + Id(device) + ": summary says " + summary["cycles_started"].asString() +
              " started, " + summary["cycles_completed"].asString() + " completed; the trace " +
              std::to_string(started) + " and " + std::to_string(completed));
    }
  }

  void CheckHistory(DeviceState& device) {
    const std::vector<Measurement>& history = device.input->history;
    const std::string what = "device " + Id(device) + " history";
    if (history.size() != device.records.size()) {
      Problem(what + ": " + std::to_string(history.size()) + " entries for " +
              std::to_string(device.records.size()) + " records");
    }
    for (std::size_t k = 0; k < std::min(history.size(), device.records.size()); ++k) {
      if (!(device.records[k] == history[k])) {
        Problem(what + " entry " + std::to_string(k + 1) + ": not what record " +
                std::to_string(k + 1) + " published");
      }
    }
  }

  struct CycleFacts {
    std::set<std::string> faults;
    bool unanswered = false;
    bool resent = false;
    bool spill = false;
    bool FaultFree() const { return faults.empty() && !unanswered && !resent && !spill; }
  };

  CycleFacts FactsOf(const DeviceState& device, const CycleState& cycle) const {
    CycleFacts facts;
    for (const SentAnswer* answer : cycle.answers) {
      if (answer->fault != "none") facts.faults.insert(answer->fault);
    }
    facts.unanswered = cycle.answers.size() < cycle.requests.size();
    std::set<std::uint8_t> commands;
    for (const std::uint64_t request : cycle.requests) {
      if (!commands.insert(device.line->tx[static_cast<std::size_t>(request - 1)].command).second)
        facts.resent = true;
    }
    if (cycle.turn_before) {
      const auto& [data_id, index] = *cycle.turn_before;
      for (const SentAnswer* answer : devices_.at(data_id).cycles[index].answers) {
        if (answer->fault == "late" || answer->fault == "split") facts.spill = true;
      }
    }
    return facts;
  }

  static std::string CauseOf(const CycleFacts& facts) {
    if (!facts.faults.empty()) return Joined(facts.faults);
    if (facts.spill) return "late or split answer of the turn before";
    if (facts.unanswered) return "request ignored by a busy monitor";
    return "request re-sent on a slow answer";
  }

  void ClassifyCycles(const DeviceState& device) {
    const std::vector<CycleState>& cycles = device.cycles;
    // The last cycle may still have been under way when the host stopped.
    const std::size_t ended =
        !cycles.empty() && !cycles.back().completed ? cycles.size() - 1 : cycles.size();
    for (std::size_t i = 0; i < ended; ++i) {
      const CycleFacts facts = FactsOf(device, cycles[i]);
      if (facts.FaultFree()) ++report_.cycles_fault_free;
      if (cycles[i].completed) {
        if (!facts.faults.empty()) ++report_.completed_despite[Joined(facts.faults)];
        continue;
      }
      if (facts.FaultFree()) {
        Problem("device " + Id(device) + " cycle " + std::to_string(i + 1) +
                ": no fault was injected, yet it was given up");
        continue;
      }
      ++report_.given_up_by_cause[CauseOf(facts)];
      NoteRecovery(device, i, ended);
    }
  }

  void NoteRecovery(const DeviceState& device, std::size_t given_up, std::size_t ended) {
    const std::vector<CycleState>& cycles = device.cycles;
    if (given_up + 1 < ended && FactsOf(device, cycles[given_up + 1]).FaultFree()) {
      ++report_.given_up_then_fault_free;
    }
    for (std::size_t j = given_up + 1; j < ended; ++j) {
      if (cycles[j].completed) {
        report_.longest_recovery =
            std::max(report_.longest_recovery, static_cast<long long>(j - given_up));
        return;
      }
    }
  }

  static std::string Id(const DeviceState& device) { return std::to_string(device.input->data_id); }
  void Problem(const std::string& text) { report_.problems.push_back(text); }

  std::map<std::string, LineState> lines_;
  std::map<unsigned, DeviceState> devices_;
  Report report_;
};

}  // namespace

std::vector<SentAnswer> ParseSimLog(const std::string& text) {
  std::vector<SentAnswer> answers;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto value = ParseJsonLine(line);
    if (!value || !value->isObject()) continue;
    SentAnswer answer;
    answer.address = (*value)["address"].asUInt();
    answer.command = (*value)["command"].asString();
    const Json::Value& raw = (*value)["raw"];
    if (raw.isArray()) {
      for (const Json::Value& cell : raw) answer.raw.push_back(cell.asUInt());
    } else {
      answer.raw.push_back(raw.asUInt());
    }
    answer.fault = (*value)["fault"].asString();
    answer.intact = (*value)["intact"].asBool();
    answer.request = (*value)["request"].asUInt64();
    answers.push_back(std::move(answer));
  }
  return answers;
}

Report Check(const std::string& host_output, const std::vector<LineInput>& lines,
             const std::vector<DeviceInput>& devices) {
  return Checker(lines, devices).Run(host_output);
}

}  // namespace soak
