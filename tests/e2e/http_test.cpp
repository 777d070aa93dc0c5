// The live host's status page and metrics end to end: battery-host runs the
// shipped example with its HTTP server on a free loopback port. Headless
// Chromium loads the page and its DOM is compared with the host's record
// lines; /metrics is parsed as the Prometheus text format and compared the
// same way; hostile requests get a proper status or a closed connection
// while polling keeps its pace.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "battery/byte_order.h"
#include "programs/battery-host/outputs/http/http_server.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/process.h"
#include "tests/support/run_values.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;
using namespace run_values;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kConcurrent = 1000;
constexpr seconds kQuietWindow{10};
// Records per device before the pace is measured.
constexpr std::size_t kSettledAfter = 10;
// Generous: the machines are shared; what is checked is that a connection
// ends, not how fast.
constexpr seconds kReplyLimit{20};

// The Prometheus text exposition format, read strictly: every sample of a
// family after its TYPE line, families not interleaved, names and label
// names as the format allows, no series twice. Series are keyed
// "name{label="value",...}" in the order written.
struct Exposition {
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;  // family: "gauge", "counter"
  std::vector<std::string> problems;

  double At(const std::string& series) const {
    const auto found = samples.find(series);
    return found == samples.end() ? std::nan("") : found->second;
  }
};

Exposition ParseExposition(const std::string& text) {
  static const std::regex kComment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
  static const std::regex kSample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*",?)*)\})? )"
      R"(([-+]?(?:[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?|Inf|NaN))( -?[0-9]+)?)");
  Exposition out;
  std::set<std::string> finished;
  std::string family;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    std::smatch match;
    if (std::regex_match(line, match, kComment)) {
      const std::string name = match[2];
      if (name != family) {
        if (!finished.insert(family).second || finished.count(name) != 0) {
          out.problems.push_back(where + name + " interleaved with another family");
        }
        family = name;
      }
      if (match[1] == "TYPE") out.types[name] = match[3];
    } else if (std::regex_match(line, match, kSample)) {
      const std::string name = match[1];
      const std::string series = name + "{" + match[3].str() + "}";
      if (name != family || out.types.count(name) == 0) {
        out.problems.push_back(where + name + " without its TYPE line before it");
      }
      if (!out.samples.emplace(series, std::strtod(match[4].str().c_str(), nullptr)).second) {
        out.problems.push_back(where + series + " twice");
      }
    } else {
      out.problems.push_back(where + "not in the text format: " + line);
    }
  }
  return out;
}

std::string Series(const std::string& name, unsigned data_id, const std::string& more = "") {
  return name + "{data_id=\"" + std::to_string(data_id) + "\"" + more + "}";
}

// promtool's own check of the exposition (Debian's prometheus package), where
// this machine has it.
void ExpectPromtoolAccepts(const std::string& exposition) {
  const std::string promtool = FindProgram("promtool");
  if (promtool.empty()) {
    std::cout << "[ skipped  ] promtool check metrics: no promtool here (Debian's prometheus)"
              << std::endl;
    return;
  }
  const TempFolder folder("metrics");
  ASSERT_TRUE(folder.Made());
  const std::string file = folder.Path("metrics");
  std::ofstream(file) << exposition;
  const std::string command =
      promtool + " check metrics < '" + file + "' > '" + file + ".out' 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_EQ(status, 0) << ReadFile(file + ".out");
}

class HttpTest : public ::testing::Test {
 protected:
  static constexpr unsigned kDevices[] = {1001, 1002, 1003};

  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    Json::Value config;
    std::istringstream example(ReadFile(programs().example));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), example, &config, nullptr));
    config["http"]["listen"] = "127.0.0.1:0";  // a free port, named on standard error
    std::ofstream(Path("host.json")) << config;
    host_ = std::make_unique<Process>(programs().host,
                                      std::vector<std::string>{"run", "--config", Path("host.json"),
                                                               "--state-dir", Path("state")},
                                      Path("host.out"), Path("host.err"));
    ASSERT_TRUE(host_->Started());
    WaitForPort();
    ASSERT_NE(port_, 0) << ReadFile(Path("host.err"));
    // Every device has a record of this run, so every value has a sample.
    WaitFor([this] { return EveryDeviceHasRecords(1); }, seconds(60), milliseconds(50));
    ASSERT_TRUE(EveryDeviceHasRecords(1)) << ReadFile(Path("host.err"));
  }

  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(), 0) << ReadFile(Path("host.err"));
    }
  }

  std::string Path(const std::string& name) const { return dir_.Path(name); }

  void WaitForPort() {
    static const std::regex kAnnounce(R"(status page and metrics on http://127\.0\.0\.1:(\d+)/)");
    const auto deadline = Clock::now() + seconds(60);
    std::smatch match;
    while (Clock::now() < deadline && host_->Running()) {
      const std::string errors = ReadFile(Path("host.err"));
      if (std::regex_search(errors, match, kAnnounce)) {
        port_ = std::stoi(match[1]);
        return;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
  }

  std::vector<Json::Value> Records(unsigned data_id) const {
    std::vector<Json::Value> records;
    for (const Json::Value& line : JsonLines(ReadFile(Path("host.out")))) {
      if (line["type"] == "record" && line["data_id"].asUInt() == data_id) {
        records.push_back(line);
      }
    }
    return records;
  }

  std::size_t RecordCount() const {
    const std::string out = ReadFile(Path("host.out"));
    std::size_t count = 0;
    for (std::size_t at = 0; (at = out.find("\"type\":\"record\"", at)) != std::string::npos;
         ++at) {
      ++count;
    }
    return count;
  }

  // Waits for the next record line; the records so far, and when it came. A
  // window that starts and ends on a record counts no fraction of a period.
  std::pair<std::size_t, Clock::time_point> NextRecord() const {
    const std::size_t before = RecordCount();
    const auto deadline = Clock::now() + seconds(60);
    auto size = fs::file_size(Path("host.out"));
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(2));
      const auto grown = fs::file_size(Path("host.out"));
      if (grown == size) continue;
      size = grown;
      const std::size_t count = RecordCount();
      if (count > before) return {count, Clock::now()};
    }
    return {before, Clock::now()};
  }

  bool EveryDeviceHasRecords(std::size_t count) const {
    for (const unsigned data_id : kDevices) {
      if (Records(data_id).size() < count) return false;
    }
    return true;
  }

  // The record line of the device's `completed`-th cycle in this run: the one
  // the host's state held when it answered.
  Measurement RecordNumber(unsigned data_id, long completed) const {
    const auto records = Records(data_id);
    EXPECT_GE(completed, 1);
    EXPECT_LE(completed, static_cast<long>(records.size()));
    if (completed < 1 || completed > static_cast<long>(records.size())) return {};
    return FromRecordJson(records[static_cast<std::size_t>(completed - 1)]);
  }

  // Where each cell stood when the device's `completed`-th record came, as
  // the threshold lines until then left it: "normal" until one says otherwise.
  std::vector<std::string> CellStates(unsigned data_id, long completed) const {
    static const std::regex kCell(R"(battery_(\d+)_value)");
    std::vector<std::string> states(kCells, "normal");
    long records = 0;
    for (const Json::Value& line : JsonLines(ReadFile(Path("host.out")))) {
      if (line["data_id"].asUInt() != data_id) continue;
      if (line["type"] == "record" && ++records == completed) break;
      std::smatch match;
      const std::string name = line["name"].asString();
      if (line["type"] == "threshold" && std::regex_match(name, match, kCell)) {
        states.at(std::stoul(match[1])) = line["state"].asString();
      }
    }
    return states;
  }

  // Headless Chromium on the page, natively (the host may run emulated);
  // its standard output into `out`. False when there is no browser to run.
  bool Chromium(const std::vector<std::string>& what, const std::string& out) {
    std::vector<std::string> args = {
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
        "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
        "--user-data-dir=" + Path("browser-" + out),
        // Long enough for the page's first fetch and drawing; then it is dumped.
        "--virtual-time-budget=3000"};
    args.insert(args.end(), what.begin(), what.end());
    args.push_back("http://127.0.0.1:" + std::to_string(port_) + "/");
    Process browser_process("chromium", args, Path(out), Path(out + ".err"), Native::kYes);
    return browser_process.Started() && browser_process.Wait(seconds(120)) == 0;
  }

  TempFolder dir_{"http"};
  std::unique_ptr<Process> host_;
  int port_ = 0;
};

// The rects of one device's chart in the dumped DOM, in cell order.
struct DeviceCard {
  long completed = -1;
  std::vector<std::string> volts, states;
};

std::map<unsigned, DeviceCard> ReadCards(const std::string& dom) {
  static const std::regex kCard(
      R"re(<section class="device [a-z]+" data-id="(\d+)" data-completed="(\d+)")re");
  static const std::regex kBar(
      R"re(<rect [^>]*data-cell="(\d+)" data-volts="([^"]*)" data-state="([a-z]+)")re");
  static const std::regex kTag(R"re(<section class="device [^>]*>|<rect [^>]*>)re");
  std::map<unsigned, DeviceCard> cards;
  DeviceCard* card = nullptr;
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), kTag); it != std::sregex_iterator();
       ++it) {
    const std::string tag = it->str();
    std::smatch match;
    if (std::regex_search(tag, match, kCard)) {
      card = &cards[static_cast<unsigned>(std::stoul(match[1]))];
      card->completed = std::stol(match[2]);
    } else if (card != nullptr && std::regex_search(tag, match, kBar)) {
      EXPECT_EQ(std::stoul(match[1]), card->volts.size()) << tag;
      card->volts.push_back(match[2]);
      card->states.push_back(match[3]);
    }
  }
  return cards;
}

TEST_F(HttpTest, PageShowsEveryCellOfTheNewestRecord) {
  if (!Chromium({"--dump-dom"}, "page.html")) {
    GTEST_SKIP() << "headless Chromium does not run here: " << ReadFile(Path("page.html.err"));
  }
  const auto cards = ReadCards(ReadFile(Path("page.html")));
  ASSERT_EQ(cards.size(), std::size(kDevices)) << ReadFile(Path("page.html"));
  for (const unsigned data_id : kDevices) {
    SCOPED_TRACE("device " + std::to_string(data_id));
    const DeviceCard& card = cards.at(data_id);
    ASSERT_EQ(card.volts.size(), kCells);
    const Measurement record = RecordNumber(data_id, card.completed);
    const auto states = CellStates(data_id, card.completed);
    for (std::size_t i = 0; i < kCells; ++i) {
      EXPECT_EQ(std::strtof(card.volts[i].c_str(), nullptr), record.cells[i]) << "cell " << i;
      EXPECT_EQ(card.states[i], states[i]) << "cell " << i;
    }
  }

  // The screenshot is kept beside the test's build folder for docs/http.md.
  const char* artefacts = std::getenv("BATTERY_TEST_ARTEFACTS");
  const fs::path shot =
      fs::path(artefacts != nullptr ? artefacts : dir_.Folder().string()) / "status-page.png";
  fs::create_directories(shot.parent_path());
  ASSERT_TRUE(
      Chromium({"--window-size=1280,1000", "--hide-scrollbars", "--screenshot=" + shot.string()},
               "shot.out"))
      << ReadFile(Path("shot.out.err"));
  const std::string png = ReadFile(shot.string());
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // IHDR: the width and height as asked, big-endian at offsets 16 and 20.
  EXPECT_EQ(byte_order::ReadBigEndian<std::uint32_t>(png, 16), 1280u);
  EXPECT_EQ(byte_order::ReadBigEndian<std::uint32_t>(png, 20), 1000u);
  std::cout << "[ artefact ] " << shot.string() << std::endl;
}

TEST_F(HttpTest, MetricsAndApiHoldTheNewestRecord) {
  const Reply metrics = Get(port_, "/metrics");
  ASSERT_EQ(metrics.status, 200) << metrics.head;
  EXPECT_NE(metrics.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  const Exposition exposition = ParseExposition(metrics.body);
  EXPECT_TRUE(exposition.problems.empty()) << ::testing::PrintToString(exposition.problems);
  for (const auto& [family, type] : exposition.types) {
    // Counters end in _total, and only counters.
    const bool total = family.size() > 6 && family.compare(family.size() - 6, 6, "_total") == 0;
    EXPECT_EQ(type == "counter", total) << family;
    EXPECT_TRUE(type == "counter" || type == "gauge") << family;
  }

  const Reply api = Get(port_, "/api/v1/devices");
  ASSERT_EQ(api.status, 200) << api.head;
  Json::Value devices;
  std::istringstream api_body(api.body);
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), api_body, &devices, nullptr));
  ASSERT_EQ(devices["devices"].size(), std::size(kDevices));

  for (Json::ArrayIndex d = 0; d < std::size(kDevices); ++d) {
    const unsigned data_id = kDevices[d];
    SCOPED_TRACE("device " + std::to_string(data_id));
    const double completed =
        exposition.At(Series("battery_cycles_total", data_id, ",outcome=\"completed\""));
    const Measurement record = RecordNumber(data_id, std::lround(completed));
    // Cells are labelled as the plug-in shows them: 1002 starts at battery_start 32.
    const int first_cell = data_id == 1002 ? 33 : 1;
    for (std::size_t i = 0; i < kCells; ++i) {
      const std::string labels = ",cell=\"" + std::to_string(first_cell + static_cast<int>(i)) +
                                 "\",variable=\"battery_" + std::to_string(i) + "_value\"";
      EXPECT_EQ(
          static_cast<float>(exposition.At(Series("battery_cell_voltage_volts", data_id, labels))),
          record.cells[i])
          << "cell " << i;
    }
    EXPECT_EQ(static_cast<float>(exposition.At(Series("battery_group_voltage_volts", data_id))),
              record.group_voltage);
    EXPECT_EQ(static_cast<float>(exposition.At(Series("battery_group_current_amperes", data_id))),
              record.group_current);
    EXPECT_EQ(static_cast<float>(exposition.At(Series("battery_temperature_celsius", data_id))),
              record.temperature);
    EXPECT_GE(exposition.At(Series("battery_record_age_seconds", data_id)), 0.0);
    EXPECT_EQ(exposition.At(Series("battery_cycles_total", data_id, ",outcome=\"given_up\"")), 0.0);
    EXPECT_EQ(exposition.At(Series("battery_stale_bytes_total", data_id)), 0.0);

    EXPECT_EQ(exposition.At(Series("battery_device_silent", data_id)), 0.0);
    EXPECT_EQ(exposition.At(Series("battery_silent_events_total", data_id)), 0.0);
    EXPECT_EQ(exposition.At(Series("battery_port_down_events_total", data_id)), 0.0);
    const Json::Value& device = devices["devices"][d];
    EXPECT_EQ(device["data_id"].asUInt(), data_id);
    EXPECT_EQ(device["first_cell"].asInt(), first_cell);
    EXPECT_EQ(exposition.At(Series("battery_device_info", data_id,
                                   ",name=\"Battery monitor " + std::to_string(data_id) +
                                       "\",port=\"" + device["port"].asString() + "\",address=\"" +
                                       std::to_string(0x80 + d + 1) + "\"")),
              1.0);
    EXPECT_EQ(FromRecordJson(device["record"]),
              RecordNumber(data_id, device["cycles_completed"].asInt()));
    EXPECT_TRUE(device["port_up"].asBool());
  }
  for (const std::string port : {"sim#1001", "sim:bus-a"}) {
    EXPECT_EQ(exposition.At("battery_port_up{port=\"" + port + "\"}"), 1.0) << port;
  }
  // The example's limits: one sample per variable with a limit (each cell
  // through battery_*_value), none for a variable without one.
  struct Limit {
    unsigned data_id;
    const char* variable;
    const char* bound;
    double value;
  };
  for (const Limit& limit :
       {Limit{1001, "group_voltage", "high", 71.0}, Limit{1001, "group_voltage", "low", 64.0},
        Limit{1001, "temperature", "high", 40.0}, Limit{1001, "battery_31_value", "low", 1.80},
        Limit{1002, "group_current", "high", 10.0}}) {
    const std::string variable = std::string(",variable=\"") + limit.variable + "\"";
    EXPECT_EQ(exposition.At(Series("battery_threshold_limit", limit.data_id,
                                   variable + ",bound=\"" + limit.bound + "\"")),
              limit.value)
        << limit.variable;
    // The simulated values stay inside the limits, but 1001's group voltage
    // (71.2) is above its high limit.
    const bool past = limit.data_id == 1001 && std::string(limit.variable) == "group_voltage";
    EXPECT_EQ(exposition.At(Series("battery_threshold_state", limit.data_id, variable)),
              past ? 1.0 : 0.0)
        << limit.variable;
  }
  EXPECT_EQ(metrics.body.find("battery_threshold_state{data_id=\"1003\""), std::string::npos);
  EXPECT_NE(metrics.body.find("battery_build_info{version=\""), std::string::npos);
  ExpectPromtoolAccepts(metrics.body);

  // HEAD: the headers GET has, without the body.
  const Reply head =
      Exchange(port_, "HEAD /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_NE(head.head.find("Content-Length: "), std::string::npos);
}

struct BadRequest {
  const char* name;
  std::string request;
  int status;
};

const BadRequest kBadRequests[] = {
    {"post", "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc", 405},
    {"delete", "DELETE /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 405},
    {"made_up_method", "BREW / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 405},
    {"unknown_path", "GET /admin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404},
    {"traversal", "GET /../../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404},
    {"encoded_traversal", "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404},
    {"traversal_below_api", "GET /api/v1/devices/../../../etc/passwd HTTP/1.1\r\n\r\n", 404},
    {"double_slash", "GET //etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404},
    {"absolute_form", "GET http://127.0.0.1/etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404},
    {"foreign_host", "GET /metrics HTTP/1.1\r\nHost: attacker.example\r\n\r\n", 403},
    {"get_with_body",
     "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: "
     "chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     413},
    {"not_http", "hello there\r\n\r\n", 400},
    {"oversized_header",
     "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " +
         std::string(2 * http_limits::kMaxHeaderBytes, 'a') + "\r\n\r\n",
     431},
};

// A client sending its request a byte at a time, slower than the request
// timeout allows: the host closes the connection. It connects before the
// others come, so that it holds a connection the server took.
void Slowloris(Socket& socket, bool& closed_in_time) {
  const std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'z') + "\r\n\r\n";
  const auto deadline = Clock::now() + http_limits::kRequestTimeout * 3;
  std::size_t sent = 0;
  while (Clock::now() < deadline && sent < request.size()) {
    if (!socket.Send(request.substr(sent, 1))) break;
    ++sent;
    if (socket.Readable(milliseconds(100))) break;  // an answer, or the close
  }
  const Reply reply = socket.Read(kReplyLimit);
  // Cut off without an answer, and before the whole request was sent.
  closed_in_time = reply.closed && reply.size == 0 && sent < request.size();
}

// kConcurrent connections at once: those beyond the server's cap are
// answered 503 and closed; the ones it took are served.
void ManyConnections(int port, std::size_t& busy, std::size_t& served, std::size_t& other) {
  std::vector<std::unique_ptr<Socket>> sockets;
  for (std::size_t i = 0; i < kConcurrent; ++i) sockets.push_back(std::make_unique<Socket>(port));
  // The refused ones answer by themselves; the rest wait for a request.
  for (auto& socket : sockets) {
    if (!socket->Connected()) {
      ++other;
      continue;
    }
    if (socket->Readable(milliseconds(socket == sockets.front() ? 2000 : 20))) {
      const Reply reply = socket->Read(kReplyLimit);
      ++(reply.status == 503 && reply.closed ? busy : other);
      continue;
    }
    socket->Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const Reply reply = socket->Read(kReplyLimit);
    ++(reply.status == 200 ? served : reply.status == 503 ? busy : other);
  }
}

TEST_F(HttpTest, HostileRequestsGetAnAnswerOrAreClosedAndPollingKeepsItsPace) {
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < kConcurrent + 64) GTEST_SKIP() << "too few file descriptors";

  // The first cycles of a run come at the pace the start allows.
  WaitFor([this] { return EveryDeviceHasRecords(kSettledAfter); }, seconds(60), milliseconds(50));
  // Cycles per second without clients, then while the clients below come.
  const auto rate = [this](auto&& during) {
    const auto [before, start] = NextRecord();
    during();
    const auto [after, end] = NextRecord();
    const std::chrono::duration<double> spent = end - start;
    return static_cast<double>(after - before) / spent.count();
  };
  const double quiet = rate([] { std::this_thread::sleep_for(kQuietWindow); });

  bool slowloris_closed = false;
  std::size_t busy = 0, served = 0, other = 0;
  const double hostile = rate([&] {
    Socket slow_client(port_);
    std::thread slow([&] { Slowloris(slow_client, slowloris_closed); });
    for (const BadRequest& bad : kBadRequests) {
      const Reply reply = Exchange(port_, bad.request);
      EXPECT_EQ(reply.status, bad.status) << bad.name << "\n" << reply.head;
      EXPECT_TRUE(reply.closed) << bad.name;
      EXPECT_NE(reply.head.find("Connection: close"), std::string::npos) << bad.name;
      if (bad.status == 405) {
        EXPECT_NE(reply.head.find("Allow: GET, HEAD"), std::string::npos) << bad.name;
      }
    }
    ManyConnections(port_, busy, served, other);
    slow.join();
  });

  EXPECT_TRUE(slowloris_closed);
  EXPECT_EQ(busy + served, kConcurrent) << other << " neither served nor refused";
  EXPECT_GE(busy, kConcurrent - http_limits::kMaxConnections);
  EXPECT_GE(served, 1u);
  // Afterwards the server serves as before.
  EXPECT_EQ(Get(port_, "/").status, 200);
  std::cout << "[ pace     ] " << quiet << " records/s without clients, " << hostile
            << " with them (" << served << " served, " << busy << " refused 503)" << std::endl;
  ASSERT_GT(quiet, 0.0);
  // Under qemu or valgrind every instruction costs tens of times more, the
  // burst of connections with it: the pace there says how slow the emulator
  // is, not whether the clients hold up the polling.
  if (!programs().emulator.empty()) {
    std::cout << "[ pace     ] not compared: the host runs under " << programs().emulator.front()
              << std::endl;
    return;
  }
  EXPECT_NEAR(hostile / quiet, 1.0, 0.05);
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return e2e::ReadProgramArguments(argc, argv, true) ? RUN_ALL_TESTS() : 2;
}
