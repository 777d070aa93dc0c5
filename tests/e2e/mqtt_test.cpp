// The MQTT upstream end to end: a real mosquitto on a free loopback port with
// a configuration file of the test's own, battery-host publishing to it with
// simulated monitors, and mosquitto_sub in a persistent session (so that it
// misses nothing while the broker restarts) writing every message it gets
// to a file.
//
// The host runs under the build's emulator and test wrapper, if any; the
// broker, the subscriber and openssl are this machine's own programs. Where
// no mosquitto can be found (a machine without Debian's mosquitto and
// mosquitto-clients) every case is skipped, saying so.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/value.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/mosquitto.h"
#include "tests/e2e/process.h"
#include "tests/support/run_values.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;
using run_values::JsonLines;
using std::chrono::seconds;

constexpr const char* kPrefix = "battery/t";
constexpr const char* kSubscriberId = "battery-test-subscriber";
// Generous: the machines are shared and the host may run under an emulator.
constexpr seconds kWaitLimit{60};

std::string Topic(unsigned data_id, const std::string& kind) {
  return std::string(kPrefix) + "/" + std::to_string(data_id) + "/" + kind;
}

// The seq of each record message of the device, in the order they arrived.
std::vector<std::uint64_t> Sequences(const std::vector<Message>& messages, unsigned data_id) {
  std::vector<std::uint64_t> sequences;
  for (const Message& message : OnTopic(messages, Topic(data_id, "record"))) {
    sequences.push_back(message.json["seq"].asUInt64());
  }
  return sequences;
}

// Every seq from 1 on arrived, in order: each is the next one, one already
// seen (sent again after a disconnect) or the next after a range that was
// lost. Returns the highest.
std::uint64_t ExpectInOrderFromOne(const std::vector<std::uint64_t>& sequences,
                                   const std::set<std::uint64_t>& lost = {}) {
  std::uint64_t highest = 0;
  for (const std::uint64_t sequence : sequences) {
    std::uint64_t next = highest + 1;
    while (lost.count(next) != 0) ++next;
    EXPECT_TRUE(sequence <= highest || sequence == highest + 1 || sequence == next)
        << "seq " << sequence << " after " << highest;
    highest = std::max(highest, sequence);
  }
  return highest;
}

class MqttTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    port_ = FreePort();
    mqtt_ = std::make_unique<Mosquitto>(dir_.Folder(), port_);
    if (!mqtt_->Found()) {
      GTEST_SKIP() << "no mosquitto, mosquitto_sub or mosquitto_pub here (Debian's mosquitto and "
                      "mosquitto-clients): the MQTT upstream is not tried";
    }
  }
  void TearDown() override {
    hosts_.clear();
    mqtt_.reset();
  }

  std::string Path(const std::string& name) const { return dir_.Path(name); }

  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name)) << text;
    return Path(name);
  }

  void StartBroker(const std::string& extra = "") {
    std::string log;
    ASSERT_TRUE(mqtt_->Start(extra, log)) << log;
  }
  void StopBroker() { ASSERT_EQ(mqtt_->Stop(), 0) << ReadFile(mqtt_->LogPath()); }
  void Subscribe(std::vector<std::string> topics, const std::vector<std::string>& login = {}) {
    std::string errors;
    ASSERT_TRUE(mqtt_->Subscribe(std::move(topics), login, kSubscriberId, errors)) << errors;
  }
  std::vector<Message> Received(std::size_t index = 0) const { return mqtt_->Received(index); }

  std::uint64_t Highest(unsigned data_id) const {
    const auto sequences = Sequences(Received(), data_id);
    return sequences.empty() ? 0 : *std::max_element(sequences.begin(), sequences.end());
  }

  // A host configuration: one device per entry on a line of its own,
  // unpaced, and the mqtt section given (its members).
  std::string HostConfig(const std::string& mqtt, int poll_interval_ms, unsigned devices = 1,
                         const std::string& extra = "") {
    std::string list;
    std::string ports;
    for (unsigned i = 0; i < devices; ++i) {
      const std::string port = "sim:" + std::to_string(i);
      list += (i == 0 ? "" : ", ") + Device(1001 + i, "\"0x8" + std::to_string(i + 1) + "\"", port);
      ports += (i == 0 ? "\"" : ", \"") + port + "\": {\"paced\": false}";
    }
    return Write("host.json", "{\"poll_interval_ms\": " + std::to_string(poll_interval_ms) + ", " +
                                  extra + "\"ports\": {" + ports + "}, \"mqtt\": {" + mqtt +
                                  "}, \"devices\": [" + list + "]}\n");
  }
  std::string Mqtt(int port) const {
    return "\"host\": \"localhost\", \"port\": " + std::to_string(port) + ", \"topic_prefix\": \"" +
           kPrefix + "\"";
  }

  // Starts battery-host on the configuration and the state directory; its
  // output goes to hostN.out and .err.
  Process& StartHost(const std::string& config, const std::vector<std::string>& more = {},
                     const std::string& state = "state") {
    const std::string name = Path("host" + std::to_string(hosts_.size()));
    std::vector<std::string> args = {"run", "--config", config, "--state-dir", Path(state)};
    args.insert(args.end(), more.begin(), more.end());
    hosts_.push_back(
        std::make_unique<Process>(programs().host, args, name + ".out", name + ".err"));
    EXPECT_TRUE(hosts_.back()->Started());
    return *hosts_.back();
  }
  std::vector<Json::Value> HostOutput(std::size_t index) const {
    return JsonLines(ReadFile(Path("host" + std::to_string(index) + ".out")));
  }
  std::string HostErrors(std::size_t index) const {
    return ReadFile(Path("host" + std::to_string(index) + ".err"));
  }

  // Records written by host `index` on its standard output.
  std::size_t HostRecords(std::size_t index) const {
    return OfType(HostOutput(index), "record").size();
  }

  // Stops the host with SIGTERM; returns once the clean stop's offline,
  // which comes after everything else it sent, has arrived.
  void StopHost(Process& host) {
    ASSERT_EQ(host.Stop(), 0);
    ASSERT_TRUE(WaitFor([this] {
      const auto said = OnTopic(Received(), std::string(kPrefix) + "/status");
      return !said.empty() && said.back().payload == "offline";
    }));
  }

  // A CA, a broker certificate for localhost and a client certificate it
  // signed; a broker whose TLS listener (on the port returned) requires a
  // client certificate, and a plain listener on port_, both taking user
  // "battery" with the password "s3cret-Pw" only.
  int StartTlsBroker() {
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj";
    const std::string sign = "openssl x509 -req -CA ca.crt -CAkey ca.key -CAcreateserial -days 2";
    Shell("openssl req -x509 " + ec + " /CN=test-ca -days 2 -keyout ca.key -out ca.crt");
    Shell("openssl req " + ec + " /CN=localhost -keyout server.key -out server.csr");
    Shell("printf 'subjectAltName=DNS:localhost\\n' >server.ext");
    Shell(sign + " -in server.csr -extfile server.ext -out server.crt");
    Shell("openssl req " + ec + " /CN=battery-host -keyout client.key -out client.crt.csr");
    Shell(sign + " -in client.crt.csr -out client.crt");
    Shell("'" + FindProgram("mosquitto_passwd") + "' -c -b passwords battery s3cret-Pw");
    const int tls_port = FreePort();
    StartBroker("per_listener_settings false\nallow_anonymous false\npassword_file " +
                Path("passwords") + "\nlistener " + std::to_string(tls_port) +
                " 127.0.0.1\ncafile " + Path("ca.crt") + "\ncertfile " + Path("server.crt") +
                "\nkeyfile " + Path("server.key") + "\nrequire_certificate true\nlistener " +
                std::to_string(port_) + " 127.0.0.1\n");
    return tls_port;
  }

  // openssl and mosquitto_passwd, run in the test's folder.
  void Shell(const std::string& command) {
    const std::string line =
        "cd '" + dir_.Folder().string() + "' && " + command + " >>tools.log 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << command << "\n" << ReadFile(Path("tools.log"));
  }

  TempFolder dir_{"mqtt"};
  int port_ = 0;
  std::unique_ptr<Mosquitto> mqtt_;
  std::vector<std::unique_ptr<Process>> hosts_;
};

TEST_F(MqttTest, RecordsArriveWithEveryFieldAndSeqRisingByOne) {
  StartBroker();
  Subscribe({std::string(kPrefix) + "/#"});
  Process& host = StartHost(HostConfig(Mqtt(port_), 100, 2));
  ASSERT_TRUE(WaitFor([this] { return Highest(1001) >= 20 && Highest(1002) >= 20; }))
      << HostErrors(0);
  StopHost(host);
  const auto messages = Received();
  const auto lines = HostOutput(0);
  for (const unsigned data_id : {1001u, 1002u}) {
    std::vector<Json::Value> printed;
    for (const Json::Value& line : OfType(lines, "record")) {
      if (line["data_id"].asUInt() == data_id) printed.push_back(line);
    }
    const auto records = OnTopic(messages, Topic(data_id, "record"));
    // A clean stop sends what is left: every record printed reached the broker.
    ASSERT_EQ(records.size(), printed.size()) << data_id;
    for (std::size_t i = 0; i < records.size(); ++i) {
      Json::Value record = records[i].json;
      EXPECT_EQ(record["seq"].asUInt64(), i + 1) << data_id;
      // The record line itself, with its ring and seq: every field.
      EXPECT_EQ(record["ring"], records.front().json["ring"]) << data_id;
      record.removeMember("ring");
      record.removeMember("seq");
      EXPECT_EQ(record, printed[i]) << data_id << " seq " << i + 1;
      EXPECT_EQ(record["cells"].size(), 32u);
    }
    const auto states = OnTopic(messages, Topic(data_id, "state"));
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().json["type"].asString(), "state");
    EXPECT_EQ(states.back().json["cells"], printed.back()["cells"]);
  }
  const auto status = OnTopic(messages, std::string(kPrefix) + "/status");
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status.front().payload, "online");
  EXPECT_EQ(status.back().payload, "offline");
}

// Two rings made for the same device (a reinstall, another SD card) both
// start at seq 1; their ring ids tell the records apart. One run's records
// all carry the id its ring file holds.
TEST_F(MqttTest, RingsMadeForTheSameDeviceCarryDifferentRingIds) {
  StartBroker();
  Subscribe({std::string(kPrefix) + "/#"});
  const std::string config = HostConfig(Mqtt(port_), 100);
  std::vector<std::uint64_t> ids;
  for (const std::string state : {"state-a", "state-b"}) {
    const std::size_t before = OnTopic(Received(), Topic(1001, "record")).size();
    Process& host = StartHost(config, {}, state);
    const auto records = [&] {
      const auto all = OnTopic(Received(), Topic(1001, "record"));
      return std::vector<Message>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    };
    ASSERT_TRUE(WaitFor([&] { return records().size() >= 3; })) << HostErrors(hosts_.size() - 1);
    StopHost(host);
    const std::uint64_t ring = run_values::ParseRingId(ReadFile(Path(state + "/device-1001.ring")));
    EXPECT_NE(ring, 0u);
    EXPECT_EQ(records().front().json["seq"].asUInt64(), 1u);
    for (const Message& record : records()) {
      const std::string text = record.json["ring"].asString();
      // 16 lowercase hex digits: a string, since JSON numbers lose digits past 2^53.
      ASSERT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
      ASSERT_EQ(text.size(), 16u) << text;
      EXPECT_EQ(std::stoull(text, nullptr, 16), ring) << text;
    }
    ids.push_back(ring);
  }
  EXPECT_NE(ids[0], ids[1]);
}

TEST_F(MqttTest, BrokerStoppedFor30SecondsMissesNoRecord) {
  StartBroker();
  Subscribe({std::string(kPrefix) + "/#"});
  StartHost(HostConfig(Mqtt(port_), 200));
  ASSERT_TRUE(WaitFor([this] { return Highest(1001) >= 5; })) << HostErrors(0);
  StopBroker();
  const std::size_t before = HostRecords(0);
  std::this_thread::sleep_for(seconds(30));
  // Polling went on meanwhile.
  const std::size_t during = HostRecords(0) - before;
  EXPECT_GE(during, 50u);
  StartBroker();
  const std::uint64_t target = HostRecords(0) + 5;
  ASSERT_TRUE(WaitFor([&] { return Highest(1001) >= target; })) << HostErrors(0);
  EXPECT_EQ(hosts_.front()->Stop(), 0);

  ExpectInOrderFromOne(Sequences(Received(), 1001));
  const std::string errors = HostErrors(0);
  EXPECT_NE(errors.find("connection lost"), std::string::npos) << errors;
  EXPECT_NE(errors.find("retrying in"), std::string::npos) << errors;
  std::vector<std::string> events;
  for (const Json::Value& line : OfType(HostOutput(0), "status")) {
    if (line.isMember("broker")) events.push_back(line["event"].asString());
  }
  EXPECT_EQ(events, (std::vector<std::string>{"broker_down", "broker_up"}));
}

TEST_F(MqttTest, HostKilledWhileTheBrokerIsDownSendsItsBacklogAfterItsRestart) {
  StartBroker();
  Subscribe({std::string(kPrefix) + "/#"});
  const std::string config = HostConfig(Mqtt(port_), 200);
  Process& first = StartHost(config);
  ASSERT_TRUE(WaitFor([this] { return Highest(1001) >= 10; })) << HostErrors(0);
  StopBroker();
  std::this_thread::sleep_for(seconds(3));
  first.Kill();
  const std::size_t killed_at = HostRecords(0);
  StartHost(config);
  std::this_thread::sleep_for(seconds(2));
  StartBroker();
  const std::uint64_t target = killed_at + HostRecords(1) + 3;
  ASSERT_TRUE(WaitFor([&] { return Highest(1001) >= target; })) << HostErrors(1);
  EXPECT_EQ(hosts_.back()->Stop(), 0);
  EXPECT_GE(ExpectInOrderFromOne(Sequences(Received(), 1001)), killed_at + HostRecords(1));
}

TEST_F(MqttTest, OutageLongerThanTheHistoryReportsTheLostRangeExactly) {
  StartBroker();
  Subscribe({std::string(kPrefix) + "/#"});
  StartHost(HostConfig(Mqtt(port_), 100, 1, "\"history\": {\"entries\": 20}, "));
  ASSERT_TRUE(WaitFor([this] { return Highest(1001) >= 5; })) << HostErrors(0);
  StopBroker();
  const std::uint64_t before = Highest(1001);
  // More records than the ring holds.
  const std::size_t stopped_at = HostRecords(0);
  ASSERT_TRUE(WaitFor([&] { return HostRecords(0) >= stopped_at + 40; })) << HostErrors(0);
  StartBroker();
  const auto lost_reported = [this] { return !OnTopic(Received(), Topic(1001, "status")).empty(); };
  ASSERT_TRUE(WaitFor(lost_reported)) << HostErrors(0);
  const std::uint64_t target = HostRecords(0) + 3;
  ASSERT_TRUE(WaitFor([&] { return Highest(1001) >= target; })) << HostErrors(0);
  EXPECT_EQ(hosts_.front()->Stop(), 0);

  const auto messages = Received();
  const auto status = OnTopic(messages, Topic(1001, "status"));
  ASSERT_EQ(status.size(), 1u);
  const Json::Value& lost = status.front().json;
  EXPECT_EQ(lost["event"].asString(), "records_lost");
  const std::uint64_t first = lost["first_seq"].asUInt64();
  const std::uint64_t last = lost["last_seq"].asUInt64();
  ASSERT_LE(first, last);
  EXPECT_EQ(lost["count"].asUInt64(), last - first + 1);
  // The range starts after the last acknowledged record, which had arrived,
  // and ends before the first record sent after the outage.
  EXPECT_LE(first, before + 1);
  EXPECT_GT(last, before);
  std::set<std::uint64_t> range;
  for (std::uint64_t sequence = first; sequence <= last; ++sequence) range.insert(sequence);
  const auto sequences = Sequences(messages, 1001);
  const auto after = std::find_if(sequences.begin(), sequences.end(),
                                  [&](std::uint64_t sequence) { return sequence > before; });
  ASSERT_NE(after, sequences.end());
  EXPECT_EQ(*after, last + 1);
  ExpectInOrderFromOne(sequences, range);
  const std::string said = "records " + std::to_string(first) + " to " + std::to_string(last) +
                           " (" + std::to_string(last - first + 1) + ") left the history";
  const std::string errors = HostErrors(0);
  EXPECT_NE(errors.find(said), std::string::npos) << errors;
  EXPECT_EQ(errors.find(said), errors.rfind(said)) << "said once";
  // The same status event on standard output.
  std::vector<Json::Value> printed;
  for (const Json::Value& line : OfType(HostOutput(0), "status")) {
    if (line["event"].asString() == "records_lost") printed.push_back(line);
  }
  ASSERT_EQ(printed.size(), 1u);
  for (const char* member : {"data_id", "ring", "first_seq", "last_seq", "count", "lost_in_run"}) {
    EXPECT_EQ(printed.front()[member], lost[member]) << member;
  }
}

TEST_F(MqttTest, TlsWithPasswordConnectsAndAWrongPasswordBacksOffWhilePollingGoesOn) {
  const int tls_port = StartTlsBroker();
  Subscribe({std::string(kPrefix) + "/#"}, {"-u", "battery", "-P", "s3cret-Pw"});
  Write("right", "s3cret-Pw\n");
  Write("wrong", "not-the-Pw\n");
  const auto config = [&](const std::string& host, const std::string& password) {
    return HostConfig("\"host\": \"" + host + "\", \"port\": " + std::to_string(tls_port) +
                          ", \"topic_prefix\": \"" + kPrefix +
                          "\", \"username\": \"battery\", \"password_file\": \"" + password +
                          "\", \"tls\": {\"ca_file\": \"ca.crt\", \"cert_file\": \"client.crt\", "
                          "\"key_file\": \"client.key\"}",
                      100);
  };

  StartHost(config("localhost", "right"));
  ASSERT_TRUE(WaitFor([this] { return Highest(1001) >= 3; })) << HostErrors(0);
  StopHost(*hosts_.back());
  const std::uint64_t sent = Highest(1001);

  // A wrong password: said clearly, tried again later and later; polling
  // is not held up (every cycle completes).
  Process& refused = StartHost(config("localhost", "wrong"), {"--cycles", "25"});
  ASSERT_EQ(refused.Wait(kWaitLimit), 0) << HostErrors(1);
  std::string errors = HostErrors(1);
  EXPECT_NE(errors.find("the broker refused the connection: Connection Refused: not authorised"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("check mqtt.username and mqtt.password_file"), std::string::npos);
  EXPECT_NE(errors.find("retrying in 500 ms"), std::string::npos) << errors;
  EXPECT_NE(errors.find("retrying in 1 s"), std::string::npos) << errors;
  const auto lines = HostOutput(1);
  ASSERT_EQ(OfType(lines, "summary").size(), 1u);
  EXPECT_EQ(OfType(lines, "summary").front()["cycles_completed"].asInt(), 25);
  EXPECT_EQ(OfType(lines, "summary").front()["cycles_given_up"].asInt(), 0);
  EXPECT_EQ(OfType(lines, "status").front()["event"].asString(), "broker_down");
  for (const std::string& output : {errors, ReadFile(Path("host1.out"))}) {
    EXPECT_EQ(output.find("not-the-Pw"), std::string::npos) << "the password is never printed";
  }

  // The certificate names localhost, not the address: refused by the host.
  StartHost(config("127.0.0.1", "right"), {"--cycles", "10"});
  ASSERT_EQ(hosts_.back()->Wait(kWaitLimit), 0) << HostErrors(2);
  errors = HostErrors(2);
  EXPECT_NE(errors.find("the broker's certificate does not verify for 127.0.0.1: "
                        "IP address mismatch"),
            std::string::npos)
      << errors;
  EXPECT_EQ(Highest(1001), sent);
}

// Each fault of the connection is told apart in what the host says: one
// broker with a TLS listener that requires client certificates and a plain
// one, both with passwords, and hosts configured wrongly in one way each.
TEST_F(MqttTest, ConnectionFaultsAreToldApart) {
  const int tls_port = StartTlsBroker();
  Write("right", "s3cret-Pw\n");
  Write("wrong", "not-the-Pw\n");
  const std::string ca_only = R"("tls": {"ca_file": "ca.crt"})";
  const std::string with_cert =
      R"("tls": {"ca_file": "ca.crt", "cert_file": "client.crt", "key_file": "client.key"})";
  struct FaultCase {
    const char* name;
    std::string host;
    int port;
    std::string password;  // file name
    std::string tls;       // the tls member, or nothing
    std::string said;
  };
  const int closed_port = FreePort();
  const FaultCase cases[] = {
      {"plain client on the TLS port", "localhost", tls_port, "right", "",
       "the broker closed the connection without answering CONNECT: is port " +
           std::to_string(tls_port) + " a TLS listener (mqtt.tls)?"},
      {"no client certificate", "localhost", tls_port, "right", ca_only,
       // The alert, or the connection closed after the handshake when the alert is lost.
       "a client certificate it trusts (mqtt.tls.cert_file, mqtt.tls.key_file)"},
      {"TLS client on the plain port", "localhost", port_, "right", with_cert,
       "ended in the handshake"},
      {"wrong password", "localhost", port_, "wrong", "",
       "Connection Refused: not authorised (check mqtt.username and mqtt.password_file)"},
      {"name that does not resolve", "no-such-broker.invalid", port_, "right", "",
       "resolve no-such-broker.invalid: "},
      {"nothing listening", "localhost", closed_port, "right", "", "Connection refused"},
  };
  for (const FaultCase& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string mqtt = "\"host\": \"" + test.host +
                             "\", \"port\": " + std::to_string(test.port) +
                             ", \"topic_prefix\": \"" + kPrefix +
                             "\", \"username\": \"battery\", \"password_file\": \"" +
                             test.password + "\"" + (test.tls.empty() ? "" : ", " + test.tls);
    Process& host = StartHost(HostConfig(mqtt, 100), {"--cycles", "20"});
    ASSERT_EQ(host.Wait(kWaitLimit), 0) << HostErrors(hosts_.size() - 1);
    const std::string errors = HostErrors(hosts_.size() - 1);
    EXPECT_NE(errors.find(test.said), std::string::npos) << errors;
    EXPECT_EQ(errors.find("The connection was lost"), std::string::npos) << errors;
  }
}

// Two hosts with one client id: the broker hands the session to each in
// turn. Each says so once, and nothing of the connections that follow.
TEST_F(MqttTest, ClientIdTakenOverIsSaidOnce) {
  StartBroker();
  Subscribe({std::string(kPrefix) + "/status"});
  const std::string config = HostConfig(Mqtt(port_) + R"(, "client_id": "site-controller")", 100);
  StartHost(config, {}, "state-a");
  StartHost(config, {}, "state-b");
  const std::string said = "client id site-controller is in use by another client";
  const auto onlines = [this] {
    std::size_t count = 0;
    for (const Message& message : OnTopic(Received(), std::string(kPrefix) + "/status")) {
      if (message.payload == "online") ++count;
    }
    return count;
  };
  ASSERT_TRUE(WaitFor([&] {
    return HostErrors(0).find(said) != std::string::npos &&
           HostErrors(1).find(said) != std::string::npos;
  })) << HostErrors(0)
      << HostErrors(1);
  // Three more takeovers after both said it.
  const std::size_t seen = onlines();
  ASSERT_TRUE(WaitFor([&] { return onlines() >= seen + 3; })) << HostErrors(0);
  for (const std::size_t index : {std::size_t{0}, std::size_t{1}}) {
    const std::string errors = HostErrors(index);
    std::size_t count = 0;
    for (std::size_t at = errors.find(said); at != std::string::npos;
         at = errors.find(said, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 1u) << errors;
    const std::string after = errors.substr(errors.find(said));
    EXPECT_EQ(after.find("connection lost"), std::string::npos) << errors;
    EXPECT_EQ(after.find("connected ("), std::string::npos) << errors;
  }
}

TEST_F(MqttTest, DiscoveryOfAllValuesAndTheRetainedOfflineAfterAKill) {
  StartBroker();
  Subscribe({"ha/#", std::string(kPrefix) + "/#"});
  // A poll period of 5 s: values expire after 3 periods without a record.
  Process& host = StartHost(HostConfig(
      Mqtt(port_) + ", \"homeassistant\": {\"discovery\": true, \"prefix\": \"ha\"}", 5000));
  const auto discovery = [this] {
    std::vector<Message> found;
    for (const Message& message : Received()) {
      if (message.topic.rfind("ha/sensor/", 0) == 0) found.push_back(message);
    }
    return found;
  };
  ASSERT_TRUE(WaitFor([&] { return discovery().size() >= 35; })) << HostErrors(0);
  std::map<std::string, std::string> classes;  // value_template -> device class and unit
  std::set<std::string> unique_ids;
  for (const Message& message : discovery()) {
    const Json::Value& config = message.json;
    EXPECT_EQ(config["state_topic"].asString(), Topic(1001, "state"));
    // Every value is unavailable while the host is offline or the device
    // silent; the group voltage also while the state says it is no measurement.
    const Json::Value& availability = config["availability"];
    ASSERT_GE(availability.size(), 2u);
    EXPECT_EQ(config["availability_mode"].asString(), "all");
    EXPECT_EQ(availability[0]["topic"].asString(), std::string(kPrefix) + "/status");
    EXPECT_EQ(availability[1]["topic"].asString(), Topic(1001, "availability"));
    const bool group_voltage = config["value_template"] == "{{ value_json.group_voltage }}";
    EXPECT_EQ(availability.size(), group_voltage ? 3u : 2u);
    EXPECT_EQ(config["object_id"], config["unique_id"]);
    EXPECT_EQ(config["device"]["name"].asString(), "Battery monitor 1001");
    EXPECT_EQ(config["origin"]["name"].asString(), "battery-host");
    if (group_voltage) {
      EXPECT_EQ(availability[2]["topic"].asString(), Topic(1001, "state"));
      EXPECT_EQ(availability[2]["value_template"].asString(),
                "{{ 'offline' if value_json.group_voltage is none else 'online' }}");
    }
    EXPECT_EQ(config["state_class"].asString(), "measurement");
    EXPECT_EQ(config["expire_after"].asInt(), 25);
    EXPECT_EQ(config["device"]["identifiers"].size(), 1u);
    unique_ids.insert(config["unique_id"].asString());
    classes[config["value_template"].asString()] =
        config["device_class"].asString() + " " + config["unit_of_measurement"].asString();
  }
  EXPECT_EQ(unique_ids.size(), 35u);
  ASSERT_EQ(classes.size(), 35u);
  EXPECT_EQ(classes["{{ value_json.group_voltage }}"], "voltage V");
  EXPECT_EQ(classes["{{ value_json.group_current }}"], "current A");
  EXPECT_EQ(classes["{{ value_json.temperature }}"], "temperature \u00b0C");
  for (int cell = 0; cell < 32; ++cell) {
    EXPECT_EQ(classes["{{ value_json.cells[" + std::to_string(cell) + "] }}"], "voltage V");
  }

  host.Kill();
  const std::string status = std::string(kPrefix) + "/status";
  ASSERT_TRUE(WaitFor([&] {
    const auto said = OnTopic(Received(), status);
    return !said.empty() && said.back().payload == "offline";
  }));
  // A subscriber that comes later still learns that the controller is gone.
  Subscribe({status});
  ASSERT_TRUE(WaitFor([&] { return !OnTopic(Received(1), status).empty(); }));
  const Message offline = OnTopic(Received(1), status).front();
  EXPECT_TRUE(offline.retained);
  EXPECT_EQ(offline.payload, "offline");
}

// Two controllers' worth of checks on one: a device that stops answering is
// said offline on its own availability topic (retained), and a device taken
// out of the configuration loses its retained configs at the next start.
TEST_F(MqttTest, SilentDeviceGoesOfflineAndARemovedDeviceLosesItsConfigs) {
  StartBroker();
  Subscribe({"ha/#", std::string(kPrefix) + "/#"});
  const std::string rack_a =
      R"({"data_id": 1001, "address": "0x81", "port": "sim:0", "name": "Rack A",
          "config": {"appSetting": {"battery_start": 16}},
          "thresholds": {"group_current": {"high": 50.0}}})";
  // 1002 never answers: silent after 2 poll periods of 200 ms.
  const std::string rack_b =
      R"({"data_id": 1002, "address": "0x82", "port": "sim:1",
          "sim": {"faults": {"no_answer": 1.0}}})";
  const auto config = [&](const std::string& devices) {
    return Write("host.json", R"({"poll_interval_ms": 200, "silent_after_periods": 2,
        "http": {"listen": "127.0.0.1:0"},
        "ports": {"sim:0": {"paced": false}, "sim:1": {"paced": false}},
        "mqtt": {)" + Mqtt(port_) +
                                  R"(, "client_id": "ctl-t",
                 "homeassistant": {"discovery": true, "prefix": "ha"}},
        "devices": [)" + devices + "]}\n");
  };
  const auto last = [this](const std::string& topic, std::size_t subscriber = 0) {
    const auto said = OnTopic(Received(subscriber), topic);
    return said.empty() ? std::optional<Message>() : std::optional<Message>(said.back());
  };
  const std::string b_cell = "ha/sensor/ctl-t/1002_battery_0_value/config";
  const std::string a_cell = "ha/sensor/ctl-t/1001_battery_0_value/config";
  const std::string a_limit = "ha/binary_sensor/ctl-t/1001_group_current_limit/config";

  Process& first = StartHost(config(rack_a + ", " + rack_b));
  ASSERT_TRUE(WaitFor([&] {
    const auto b = last(Topic(1002, "availability"));
    return b && b->payload == "offline" && last(b_cell) && last(a_limit);
  })) << HostErrors(0);
  EXPECT_EQ(last(Topic(1001, "availability"))->payload, "online");
  // The silent event follows the availability that says it.
  ASSERT_TRUE(WaitFor([&] {
    for (const Message& status : OnTopic(Received(), Topic(1002, "status"))) {
      if (status.json["event"] == "silent") return true;
    }
    return false;
  }));
  const Json::Value cell = last(a_cell)->json;
  EXPECT_EQ(cell["name"].asString(), "Cell 17 voltage");  // battery_start 16
  EXPECT_EQ(cell["device"]["name"].asString(), "Rack A");
  EXPECT_EQ(cell["object_id"].asString(), "ctl-t_1001_battery_0_value");
  // The status page, on the port the system chose.
  const std::string url = cell["device"]["configuration_url"].asString();
  EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
  EXPECT_NE(HostErrors(0).find("status page and metrics on " + url), std::string::npos) << url;
  const Json::Value limit = last(a_limit)->json;
  EXPECT_EQ(limit["device_class"].asString(), "problem");
  EXPECT_EQ(limit["state_topic"].asString(), Topic(1001, "thresholds"));
  EXPECT_EQ(last(Topic(1001, "thresholds"))->json["group_current"].asString(), "normal");
  StopHost(first);

  Process& second = StartHost(config(rack_a));
  // The sweep empties each of 1002's configs, and none of 1001's.
  ASSERT_TRUE(WaitFor([&] {
    const auto b = last(b_cell);
    return b && b->payload.empty();
  })) << HostErrors(1);
  StopHost(second);
  Subscribe({"ha/#"});
  std::size_t a_configs = 0;
  for (const Message& message : Received(1)) {
    EXPECT_EQ(message.topic.find("/1002_"), std::string::npos) << message.topic;
    if (message.topic.find("/ctl-t/1001_") != std::string::npos) ++a_configs;
  }
  EXPECT_EQ(a_configs, 36u);  // 35 values and one limit
}

}  // namespace

}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return e2e::ReadProgramArguments(argc, argv, true) ? RUN_ALL_TESTS() : 2;
}
