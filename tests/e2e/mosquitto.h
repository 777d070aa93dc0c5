#pragma once

// A real mosquitto on a free loopback port with a configuration file of the
// test's own, and mosquitto_sub subscribers writing every message they get to
// a file; the first subscriber keeps a persistent session, so it misses
// nothing while the broker restarts. They are this machine's own programs
// (Debian's mosquitto and mosquitto-clients).

#include <json/value.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/process.h"
#include "tests/support/run_values.h"

namespace e2e {

struct Message {
  bool retained = false;
  std::string topic;
  std::string payload;
  Json::Value json;  // the payload, when it is JSON
};

inline std::vector<Message> OnTopic(const std::vector<Message>& messages,
                                    const std::string& topic) {
  std::vector<Message> found;
  for (const Message& message : messages) {
    if (message.topic == topic) found.push_back(message);
  }
  return found;
}

class Mosquitto {
 public:
  // Files go to `dir`; the broker listens on `port`.
  Mosquitto(std::filesystem::path dir, int port)
      : dir_(std::move(dir)),
        port_(port),
        broker_program_(FindProgram("mosquitto")),
        subscriber_program_(FindProgram("mosquitto_sub")),
        publisher_program_(FindProgram("mosquitto_pub")) {}

  // Whether this machine has the broker and its clients.
  bool Found() const {
    return !broker_program_.empty() && !subscriber_program_.empty() && !publisher_program_.empty();
  }
  int Port() const { return port_; }
  const std::string& Publisher() const { return publisher_program_; }

  // Starts the broker, which keeps sessions and retained messages across its
  // restarts; false, with its log in `log`, when it does not accept
  // connections.
  bool Start(const std::string& extra, std::string& log) {
    std::string config = "persistence true\npersistence_location " + dir_.string() +
                         "/\nmax_queued_messages 100000\n" + extra;
    if (extra.find("listener") == std::string::npos) {
      config += "allow_anonymous true\nlistener " + std::to_string(port_) + " 127.0.0.1\n";
    }
    // Run as root, mosquitto would become the user "mosquitto", who may not
    // read or write the test's folder.
    if (::geteuid() == 0) config = "user root\n" + config;
    const std::string file = (dir_ / "mosquitto.conf").string();
    std::ofstream(file) << config;
    broker_ = std::make_unique<Process>(broker_program_, std::vector<std::string>{"-c", file},
                                        LogPath(), LogPath(), Native::kYes);
    const bool up = WaitFor([this] { return Accepts(port_); }, std::chrono::seconds(20));
    log = ReadFile(LogPath());
    return up;
  }
  // The broker's exit status at SIGTERM.
  std::optional<int> Stop() {
    const auto status = broker_->Stop();
    broker_.reset();
    return status;
  }
  std::string LogPath() const { return (dir_ / "broker.log").string(); }

  // Subscribes to the topics and returns once a probe message has come back;
  // false, with the subscriber's errors in `errors`, when none came.
  bool Subscribe(std::vector<std::string> topics, const std::vector<std::string>& login,
                 const std::string& client_id, std::string& errors) {
    const std::string out =
        (dir_ / ("sub" + std::to_string(subscribers_.size()) + ".out")).string();
    std::vector<std::string> args = {"-h", "127.0.0.1", "-p", std::to_string(port_),
                                     "-q", "1",         "-F", "%r %t %p"};
    if (subscribers_.empty()) args.insert(args.end(), {"-c", "-i", client_id});
    args.insert(args.end(), login.begin(), login.end());
    topics.push_back("probe/#");
    for (const std::string& topic : topics) args.insert(args.end(), {"-t", topic});
    subscribers_.push_back(
        std::make_unique<Process>(subscriber_program_, args, out, out + ".err", Native::kYes));
    subscriber_out_.push_back(out);
    std::vector<std::string> probe = {"-h", "127.0.0.1",
                                      "-p", std::to_string(port_),
                                      "-t", "probe/" + std::to_string(subscribers_.size()),
                                      "-m", "probe"};
    probe.insert(probe.end(), login.begin(), login.end());
    const std::string probe_out = (dir_ / "pub.out").string();
    const bool probed = WaitFor(
        [&] {
          Process(publisher_program_, probe, probe_out, probe_out, Native::kYes)
              .Wait(std::chrono::seconds(10));
          return ReadFile(out).find(" probe/") != std::string::npos;
        },
        std::chrono::seconds(60), std::chrono::milliseconds(100));
    errors = ReadFile(out + ".err");
    return probed;
  }

  // What subscriber `index` has received so far.
  std::vector<Message> Received(std::size_t index = 0) const {
    std::vector<Message> messages;
    std::istringstream lines(ReadFile(subscriber_out_.at(index)));
    for (std::string line; std::getline(lines, line);) {
      const std::size_t topic_end = line.find(' ', 2);
      if (line.size() < 3 || topic_end == std::string::npos) continue;
      Message message{
          line[0] == '1', line.substr(2, topic_end - 2), line.substr(topic_end + 1), {}};
      if (!message.payload.empty() && message.payload[0] == '{') {
        const auto parsed = run_values::JsonLines(message.payload);
        if (!parsed.empty()) message.json = parsed.front();
      }
      messages.push_back(message);
    }
    return messages;
  }

  void StopSubscribers() { subscribers_.clear(); }

 private:
  std::filesystem::path dir_;
  int port_;
  std::string broker_program_, subscriber_program_, publisher_program_;
  std::unique_ptr<Process> broker_;
  std::vector<std::unique_ptr<Process>> subscribers_;
  std::vector<std::string> subscriber_out_;
};

}  // namespace e2e
