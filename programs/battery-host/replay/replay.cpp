#include "programs/battery-host/replay/replay.h"

#include <json/reader.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "host/device_access.h"
#include "programs/battery-host/plugin_library.h"
#include "programs/battery-host/replay/trace_controller.h"
#include "programs/battery-host/support/text_format.h"

namespace {

using host_text::Float;

// A line of the script that cannot be run as written.
class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Parsing of script tokens

std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> tokens;
  std::istringstream in(line);
  for (std::string token; in >> token;) tokens.push_back(token);
  return tokens;
}

long long ParseInteger(const std::string& token, long long min, long long max) {
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const char* begin = token.c_str() + (hex ? 2 : 0);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, hex ? 16 : 10);
  if (token.empty() || end == begin || *end != '\0' || errno == ERANGE || value < min ||
      value > max) {
    throw ScriptError("bad number '" + token + "'");
  }
  return value;
}

float ParseFloat(const std::string& token) {
  char* end = nullptr;
  const float value = std::strtof(token.c_str(), &end);
  if (token.empty() || *end != '\0') throw ScriptError("bad number '" + token + "'");
  return value;
}

bool ParseBool(const std::string& token) {
  if (token == "true") return true;
  if (token == "false") return false;
  throw ScriptError("expected true or false, not '" + token + "'");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<unsigned char> ParseHexBytes(const std::vector<std::string>& tokens) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    const int high = token.size() == 2 ? HexDigit(token[0]) : -1;
    const int low = token.size() == 2 ? HexDigit(token[1]) : -1;
    if (high < 0 || low < 0) throw ScriptError("bad hex byte '" + token + "'");
    bytes.push_back(static_cast<unsigned char>(high * 16 + low));
  }
  return bytes;
}

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  if (!Json::parseFromStream(builder, in, &value, &errors)) {
    throw ScriptError("bad JSON: " + errors.substr(0, errors.find('\n')));
  }
  return value;
}

void ExpectArgs(const std::vector<std::string>& tokens, std::size_t min, std::size_t max) {
  if (tokens.size() < min + 1 || tokens.size() > max + 1) {
    throw ScriptError("wrong number of arguments to '" + tokens[0] + "'");
  }
}

// The text after the command word and the blanks that follow it.
std::string RestAfterCommand(const std::string& line) {
  const std::size_t command_end = line.find_first_of(" \t", line.find_first_not_of(" \t"));
  if (command_end == std::string::npos) return {};
  const std::size_t rest = line.find_first_not_of(" \t", command_end);
  return rest == std::string::npos ? std::string() : line.substr(rest);
}

// The text after the command word and exactly one blank, inner and trailing blanks kept.
std::string RestAfterOneBlank(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  const std::size_t command_end = line.find_first_of(" \t", start);
  if (command_end == std::string::npos) return {};
  return line.substr(command_end + 1);
}

// ---------------------------------------------------------------------------
// The script

class ReplaySession {
 public:
  ReplaySession(std::string plugin_path, std::ostream& out)
      : plugin_path_(std::move(plugin_path)),
        out_(out),
        controller_(std::make_shared<TraceController>(
            [&out](const std::string& line) { out << line << '\n'; })) {}

  ~ReplaySession() {
    // Devices run code of the plug-in: destroy them before it is unloaded.
    controller_->RemoveDevices();
    devices_.clear();
  }

  void Run(const std::string& line) {
    const std::vector<std::string> tokens = Tokens(line);
    if (tokens.empty() || tokens[0][0] == '#') return;
    RunCommand(tokens, line);
    out().flush();
  }

 private:
  std::ostream& out() { return out_; }

  using Args = std::vector<std::string>;

  // One row per command of the script.
  struct Command {
    const char* name;
    // Runs on the device that the latest 'device' added: there must be one.
    bool on_device;
    void (ReplaySession::*run)(const Args& t, const std::string& line);
  };
  static const Command kCommands[];

  void RunCommand(const Args& t, const std::string& line);

  // The device that the latest 'device' added.
  PXHSPDevice& device() { return *current_; }

  void AddDevice(const Args& t, const std::string&) {
    ExpectArgs(t, 2, 2);
    const auto data_id = static_cast<unsigned int>(ParseInteger(t[1], 0, UINT32_MAX));
    const auto address = ParseInteger(t[2], 0, 255);
    if (!plugin_) plugin_ = std::make_unique<PluginLibrary>(plugin_path_);
    std::unique_ptr<PXHSPDevice> device = plugin_->CreateDevice();
    Json::Value host_config(Json::objectValue);
    host_config["address"] = static_cast<Json::UInt>(address);
    device->Init(controller_, data_id, host_config);
    current_ = device.get();
    controller_->AddDevice(data_id, device.get());
    devices_.push_back(std::move(device));
    out() << "device " << data_id << '\n';
  }

  void AddPeer(const Args& t, const std::string&) {
    ExpectArgs(t, 3, 3);
    const auto data_id = static_cast<unsigned int>(ParseInteger(t[1], 0, UINT32_MAX));
    controller_->SetPeerValue(data_id, t[2], ParseFloat(t[3]));
  }

  void Configure(const Args&, const std::string& line) {
    const Json::Value config = ParseJson(RestAfterCommand(line));
    try {
      const int result = device().InitSetting(config);
      out() << "config -> " << result << '\n';
    } catch (const std::exception& error) {
      out() << "config !! " << error.what() << '\n';
    }
  }

  void Tick(const Args& t, const std::string&) {
    ExpectArgs(t, 0, 0);
    const int result = device().RefreshStatus();
    out() << "tick -> " << result << '\n';
  }

  void Receive(const Args& t, const std::string&) {
    std::vector<unsigned char> bytes = ParseHexBytes(t);
    const int result = device().process(bytes.data(), static_cast<unsigned int>(bytes.size()));
    out() << "rx -> " << result << '\n';
  }

  void ReceiveNull(const Args& t, const std::string&) {
    ExpectArgs(t, 1, 1);
    const auto length = static_cast<unsigned int>(ParseInteger(t[1], 0, UINT32_MAX));
    const int result = device().process(nullptr, length);
    out() << "rx-null -> " << result << '\n';
  }

  void Query(const Args&, const std::string& line) {
    const std::string name = RestAfterOneBlank(line);
    try {
      const float value = device().Get_Value(device().DataId(), name);
      out() << "query -> " << Float(value) << '\n';
    } catch (const std::out_of_range& error) {
      out() << "query !! " << error.what() << '\n';
    }
  }

  void Cache(const Args& t, const std::string&) {
    const std::vector<unsigned char> bytes = ParseHexBytes(t);
    const int result = device().LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
    out() << "cache -> " << result << '\n';
  }

  void Ioctl(const Args& t, const std::string&) {
    ExpectArgs(t, 1, 2);
    const auto code = static_cast<int>(ParseInteger(t[1], INT32_MIN, INT32_MAX));
    std::uint16_t minutes = 0;
    const bool has_input = t.size() == 3;
    if (has_input) minutes = static_cast<std::uint16_t>(ParseInteger(t[2], 0, UINT16_MAX));
    int result = 0;
    const int status = device().DeviceIoControl(code, has_input ? &minutes : nullptr,
                                                has_input ? 2 : 0, nullptr, 0, result);
    out() << "ioctl -> " << status << '\n';
  }

  // The host's state around the device, set as the host would.

  void SetAge(const Args& t, const std::string&) {
    ExpectArgs(t, 1, 1);
    const long long seconds = ParseInteger(t[1], INT32_MIN, INT32_MAX);
    DeviceAccess::LastUpdate(device()) = boost::posix_time::second_clock::local_time() -
                                         boost::posix_time::seconds(static_cast<long>(seconds));
  }

  void AddAo(const Args& t, const std::string&) {
    ExpectArgs(t, 1, 2);
    DeviceAccess::AoNames(device()).push_back(t[1]);
    if (t.size() == 3) DeviceAccess::AoValues(device())[t[1]] = ParseFloat(t[2]);
  }

  void SetAoReport(const Args& t, const std::string&) {
    ExpectArgs(t, 1, 1);
    controller_->SetAoReport(ParseBool(t[1]));
  }

  void AddBatchRule(const Args& t, const std::string&) {
    ExpectArgs(t, 0, 0);
    DeviceAccess::BatchRules(device()).emplace_back();
  }

  void SetBatchHit(const Args& t, const std::string&) {
    ExpectArgs(t, 1, 1);
    controller_->SetBatchHit(ParseBool(t[1]));
  }

  void SetLevel(const Args& t, const std::string&) {
    ExpectArgs(t, 2, 2);
    DeviceAccess::LevelMap(device())[t[1]] =
        static_cast<int>(ParseInteger(t[2], INT32_MIN, INT32_MAX));
  }

  void SetLimit(const Args& t, const std::string&) {
    ExpectArgs(t, 2, 2);
    DeviceAccess::ValueMap(device())[t[1]] = ParseFloat(t[2]);
  }

  void State(const Args& t, const std::string&) {
    ExpectArgs(t, 0, 0);
    PrintState(device());
  }

  void PrintState(PXHSPDevice& device) {
    const std::uint8_t address = DeviceAccess::Address(device);
    out() << "state data_ready=" << DeviceAccess::DataReady(device)
          << " changed=" << DeviceAccess::Changed(device)
          << " cycle_status=" << DeviceAccess::CycleStatus(device)
          << " rx_length=" << DeviceAccess::RxLength(device) << " address=0x"
          << host_text::Hex(&address, 1)
          << " batch_rules=" << DeviceAccess::BatchRules(device).size() << '\n';
  }

  std::string plugin_path_;
  std::unique_ptr<PluginLibrary> plugin_;
  std::ostream& out_;
  std::shared_ptr<TraceController> controller_;
  std::vector<std::unique_ptr<PXHSPDevice>> devices_;
  PXHSPDevice* current_ = nullptr;
};

const ReplaySession::Command ReplaySession::kCommands[] = {
    {"device", false, &ReplaySession::AddDevice},
    {"peer", false, &ReplaySession::AddPeer},
    {"config", true, &ReplaySession::Configure},
    {"tick", true, &ReplaySession::Tick},
    {"rx", true, &ReplaySession::Receive},
    {"rx-null", true, &ReplaySession::ReceiveNull},
    {"query", true, &ReplaySession::Query},
    {"cache", true, &ReplaySession::Cache},
    {"ioctl", true, &ReplaySession::Ioctl},
    {"age", true, &ReplaySession::SetAge},
    {"ao", true, &ReplaySession::AddAo},
    {"ao-report", true, &ReplaySession::SetAoReport},
    {"batch-rule", true, &ReplaySession::AddBatchRule},
    {"batch-hit", true, &ReplaySession::SetBatchHit},
    {"level", true, &ReplaySession::SetLevel},
    {"limit", true, &ReplaySession::SetLimit},
    {"state", true, &ReplaySession::State},
};

void ReplaySession::RunCommand(const Args& t, const std::string& line) {
  const std::string& name = t[0];
  const Command* command = nullptr;
  for (const Command& row : kCommands) {
    if (name == row.name) command = &row;
  }
  if (command == nullptr) throw ScriptError("unknown command '" + name + "'");
  if (command->on_device && current_ == nullptr) {
    throw ScriptError("'" + name + "' before any 'device'");
  }
  (this->*command->run)(t, line);
}

}  // namespace

int RunReplay(const std::string& plugin_path, std::istream& script, std::ostream& out,
              std::ostream& err) {
  ReplaySession session(plugin_path, out);
  std::size_t line_number = 0;
  for (std::string line; std::getline(script, line);) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
      session.Run(line);
    } catch (const ScriptError& error) {
      out.flush();
      err << "battery-host replay: line " << line_number << ": " << error.what() << '\n';
      return 2;
    } catch (const std::exception& error) {
      out.flush();
      err << "battery-host replay: line " << line_number << ": " << error.what() << '\n';
      return 1;
    }
  }
  out.flush();
  return 0;
}
