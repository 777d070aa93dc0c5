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
  std::string what;  // tx, rx, echo, cycle, or "rx dropped"
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
  if (trace.what == "rx" && !trace.data_id) {
    std::string dropped;
    words >> dropped;
    trace.what += " " + dropped;
  }
  std::getline(words >> std::ws, trace.rest);
  const bool known = trace.what == "tx" || trace.what == "rx" || trace.what == "echo" ||
                     trace.what == "cycle" || trace.what == "rx dropped";
  if (!known) return std::nullopt;
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

// What the device's monitor sent, in request order, with the decodings of
// the short answers gathered as the host's output moves on.
struct DeviceState {
  const DeviceInput* input = nullptr;
  LineState* line = nullptr;
  std::vector<CycleState> cycles;
  std::vector<Measurement> records;
  std::vector<std::pair<std::uint64_t, std::array<float, kCells>>> cell_answers;
  std::vector<std::pair<std::uint64_t, unsigned>> short_answers;
  std::size_t shorts_taken = 0;
  std::set<float> group_voltages, group_currents, temperatures;
  std::size_t last_cells = 0;  // index into cell_answers of the newest record's cells
  std::optional<Json::Value> summary;
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
    std::vector<const SentAnswer*> sent;
    for (const SentAnswer& answer : line->second.input->answers) {
      if (answer.address == input.monitor_address && answer.intact) sent.push_back(&answer);
    }
    std::sort(sent.begin(), sent.end(),
              [](const SentAnswer* a, const SentAnswer* b) { return a->request < b->request; });
    for (const SentAnswer* answer : sent) {
      if (answer->command == "cells") {
        device.cell_answers.emplace_back(answer->request, DecodedCells(*answer));
      } else if (!answer->raw.empty()) {
        device.short_answers.emplace_back(answer->request, answer->raw.front());
      }
    }
  }

  void HostLine(const std::string& text, std::size_t number) {
    if (text.empty()) return;
    if (text.front() == '{') return JsonLine(text, number);
    if (text.rfind(kTracePrefix, 0) != 0) return;  // the plug-in's own lines
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
    // A fresh start publishes zeros first: the record goes out before the cycle's values are in.
    if (device.records.size() == 1 && m.IsZero()) return;
    ++report_.records_checked;
    ExpectSentBy(device, m, device.line->tx.size(), what);
  }

  // The values of `m` were sent in answer to requests 1 .. `bound` of the line.
  void ExpectSentBy(DeviceState& device, const Measurement& m, std::uint64_t bound,
                    const std::string& what) {
    TakeShortsUpTo(device, bound);
    if (!FindCells(device, m, bound)) {
      Problem(what + ": cells are not those of an intact cell answer sent by request " +
              std::to_string(bound) + ", at or after the record before");
    }
    CheckShort(device.group_voltages, m.group_voltage, what + ": group voltage");
    CheckShort(device.group_currents, m.group_current, what + ": group current");
    CheckShort(device.temperatures, m.temperature, what + ": temperature");
  }

  static void TakeShortsUpTo(DeviceState& device, std::uint64_t bound) {
    while (device.shorts_taken < device.short_answers.size() &&
           device.short_answers[device.shorts_taken].first <= bound) {
      const unsigned raw = device.short_answers[device.shorts_taken++].second;
      device.group_voltages.insert(GroupVolts(raw));
      device.group_currents.insert(GroupAmperes(raw));
      if (Degrees(raw) != 0.0f) device.temperatures.insert(Degrees(raw));
    }
  }

  static bool FindCells(DeviceState& device, const Measurement& m, std::uint64_t bound) {
    for (std::size_t k = device.last_cells; k < device.cell_answers.size(); ++k) {
      if (device.cell_answers[k].first > bound) return false;
      if (device.cell_answers[k].second == m.cells) {
        device.last_cells = k;
        return true;
      }
    }
    return false;
  }

  void CheckShort(const std::set<float>& sent, float value, const std::string& what) {
    if (sent.count(value) == 0) Problem(what + " " + std::to_string(value) + " never sent by then");
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
    ClassifyCycles(device);
  }

  void CheckSummary(const DeviceState& device) {
    if (!device.summary) return Problem("device " + Id(device) + ": no summary line");
    const auto completed = static_cast<long long>(device.records.size());
    const auto started = static_cast<long long>(device.cycles.size());
    const Json::Value& summary = *device.summary;
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
    for (std::size_t k = 0; k + 1 < std::min(history.size(), device.records.size()); ++k) {
      if (!(device.records[k + 1] == history[k])) {
        Problem(what + " entry " + std::to_string(k + 1) + ": not what record " +
                std::to_string(k + 2) + " published");
      }
    }
    if (!history.empty()) {
      ExpectSentBy(device, history.back(), device.line->tx.size(), what + " newest entry");
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
