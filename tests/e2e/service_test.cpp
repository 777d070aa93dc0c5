// battery-host run under a stand-in for the service manager: a unix datagram
// socket named by NOTIFY_SOCKET, as systemd's notify protocol has it, with
// WATCHDOG_USEC set. The host must announce readiness once it is set up,
// name the ports that are not open in its status, and send its keep-alives
// from its event loop: a stopped or blocked loop sends none.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "programs/battery-host/service/service_notifier.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/process.h"
#include "tests/support/run_values.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;
using run_values::WithoutTimeStamp;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Keep-alives every 100 ms (half the watchdog period).
constexpr const char* kWatchdogUsec = "200000";
// Generous: the machines are shared and may emulate; only "nothing arrived
// while stopped" is measured over a fixed window, and that window is ten
// keep-alive periods.
constexpr seconds kArrivalLimit{30};
constexpr milliseconds kSilentWindow{1000};

// The service manager's end of the notify protocol.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ =
        fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool Bound() const { return bound_; }

  // The next message, or nothing when none came within `limit`.
  std::optional<std::string> Receive(milliseconds limit) {
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
    if (size < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(size));
  }

  // Waits for a message with the line `state`; every message up to it goes to `seen`.
  bool WaitFor(const std::string& state, std::string& seen, seconds limit = kArrivalLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto message = Receive(milliseconds(100));
      if (!message) continue;
      seen += *message + "\n";
      if (("\n" + *message + "\n").find("\n" + state + "\n") != std::string::npos) return true;
    }
    return false;
  }

  // Reads what arrives within `window` (what is queued, for zero) into `seen`;
  // the number of messages.
  int Collect(milliseconds window, std::string& seen) {
    const auto deadline = std::chrono::steady_clock::now() + window;
    for (int count = 0;; ++count) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto message = Receive(std::max(left, milliseconds(0)));
      if (!message) return count;
      seen += *message + "\n";
    }
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    socket_.emplace(Path("notify"));
    ASSERT_TRUE(socket_->Bound());
    // The host inherits these, as from systemd.
    ::setenv("NOTIFY_SOCKET", Path("notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", kWatchdogUsec, 1);
  }
  void TearDown() override {
    host_.reset();
    sim_.reset();
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("JOURNAL_STREAM");
  }

  std::string Path(const std::string& name) const { return dir_.Path(name); }

  // `members`: more of the configuration, ahead of "devices".
  void StartHost(const std::string& port, const std::string& address = "0x81",
                 const std::string& members = "") {
    std::ofstream(Path("host.json"))
        << "{" << members << R"("devices": [{"data_id": 1001, "address": ")" << address
        << R"(", "port": ")" << port << "\"}]}\n";
    host_.emplace(programs().host,
                  std::vector<std::string>{"run", "--config", Path("host.json"), "--state-dir",
                                           Path("state")},
                  Path("host.out"), Path("host.err"));
    ASSERT_TRUE(host_->Started());
  }

  std::string Errors() const { return ReadFile(Path("host.err")); }

  TempFolder dir_{"service"};
  std::optional<NotifySocket> socket_;
  std::optional<Process> host_;
  std::optional<Process> sim_;
};

// A port that is not there (an adapter not plugged in) must not hold the
// other lines hostage to the service's start timeout: the host is ready once
// it is set up, and its status names the port until it opens.
TEST_F(ServiceTest, ReadyWithAPortMissing) {
  const std::string link = Path("ttyBAT0");
  std::ofstream(Path("host.json"))
      << R"({"devices": [{"data_id": 1001, "address": "0x81", "port": "sim"},
    {"data_id": 1002, "address": "0x81", "port": ")"
      << link << "\"}]}\n";
  host_.emplace(
      programs().host,
      std::vector<std::string>{"run", "--config", Path("host.json"), "--state-dir", Path("state")},
      Path("host.out"), Path("host.err"));
  ASSERT_TRUE(host_->Started());
  std::string seen;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(socket_->WaitFor("READY=1", seen)) << seen << Errors();
  std::cout << "[ ready    ] after "
            << std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started)
                   .count()
            << " ms with " << link << " missing" << std::endl;
  EXPECT_NE(seen.find("STATUS=polling; not open: " + link), std::string::npos) << seen;

  sim_.emplace(programs().sim, std::vector<std::string>{"--link", link}, Path("sim.out"),
               Path("sim.err"));
  e2e::WaitFor([&] { return fs::exists(link) || !sim_->Running(); }, kArrivalLimit);
  if (!fs::exists(link) && ReadFile(Path("sim.err")).find("posix_openpt") != std::string::npos) {
    GTEST_SKIP() << "no pseudo-terminal here (emulated?): " << ReadFile(Path("sim.err"));
  }
  ASSERT_TRUE(fs::exists(link)) << ReadFile(Path("sim.err"));
  seen.clear();
  EXPECT_TRUE(socket_->WaitFor("STATUS=polling, every port open", seen)) << seen << Errors();
}

// As the service is installed: the records stay off standard output, the journal.
TEST_F(ServiceTest, KeepAlivesStopWhileTheHostIsStopped) {
  StartHost("sim", "0x81", R"("output": {"records": false}, )");
  std::string seen;
  ASSERT_TRUE(socket_->WaitFor("READY=1", seen)) << Errors();
  ASSERT_TRUE(socket_->WaitFor("WATCHDOG=1", seen)) << Errors();

  ASSERT_EQ(::kill(host_->Pid(), SIGSTOP), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(host_->Pid(), &status, WUNTRACED), host_->Pid());
  ASSERT_TRUE(WIFSTOPPED(status));
  socket_->Collect(milliseconds(0), seen);  // sent before it stopped
  EXPECT_EQ(socket_->Collect(kSilentWindow, seen), 0);

  ASSERT_EQ(::kill(host_->Pid(), SIGCONT), 0);
  EXPECT_TRUE(socket_->WaitFor("WATCHDOG=1", seen)) << Errors();
  // The plug-in's line that ends a cycle: its record has been made.
  EXPECT_TRUE(e2e::WaitFor(
      [this] { return Errors().find("1001 plug-in: rvSize is 0") != std::string::npos; },
      kArrivalLimit))
      << Errors();
  EXPECT_EQ(host_->Stop(), 0) << Errors();
  EXPECT_TRUE(socket_->WaitFor("STOPPING=1", seen)) << seen;
  const std::string out = ReadFile(Path("host.out"));
  EXPECT_EQ(out.find(R"("type":"record")"), std::string::npos) << out;
  EXPECT_NE(out.find(R"("type":"summary")"), std::string::npos) << out;
}

// "DEVICE:INODE" of a file, as JOURNAL_STREAM names the journal's stream.
std::string FileId(const std::string& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return "none";
  return std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
}

// Under the journal each line of standard error carries its priority (the
// journal keeps the time); a JOURNAL_STREAM that names another stream (a
// program started from a service with its standard error redirected) gets
// the time stamp that starts every line elsewhere.
TEST_F(ServiceTest, PriorityPrefixesOnlyWhenStandardErrorIsTheJournal) {
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "journal" : "another stream");
    std::ofstream(Path("host.err")).flush();
    std::ofstream(Path("other")).flush();
    ::setenv("JOURNAL_STREAM", FileId(Path(journal ? "host.err" : "other")).c_str(), 1);
    // An address below 0x80 is a warning; a port that does not open an error.
    StartHost(Path("missing-tty"), "0x01");
    e2e::WaitFor([this] { return Errors().find("retrying") != std::string::npos; }, kArrivalLimit);
    EXPECT_EQ(host_->Stop(), 0);
    const std::pair<std::string, std::string> expected[] = {
        {"<4>", Path("host.json") + ":1: warning: devices[0].address"},
        {"<3>", "battery-host: " + Path("missing-tty") + ": open:"}};
    for (const auto& [prefix, text] : expected) {
      std::istringstream errors(Errors());
      bool found = false;
      for (std::string line; std::getline(errors, line);) {
        if (line.find(text) == std::string::npos) continue;
        if (journal) {
          EXPECT_EQ(line.rfind(prefix + text, 0), 0u) << line;
        } else {
          EXPECT_EQ(WithoutTimeStamp(line).rfind(text, 0), 0u) << line;
          EXPECT_NE(line.rfind(text, 0), 0u) << "no time stamp: " << line;
        }
        found = true;
      }
      EXPECT_TRUE(found) << text << " not in\n" << Errors();
    }
  }
}

// A keep-alive thread would survive a loop that hangs in a handler: the
// keep-alives must come from the loop itself.
TEST_F(ServiceTest, KeepAlivesStopWhileTheLoopIsBlocked) {
  boost::asio::io_context io;
  ServiceNotifier notifier(io);
  notifier.Start([] { return std::vector<std::string>{}; });
  std::promise<void> blocked;
  std::promise<void> release;
  std::thread loop([&io] { io.run(); });
  std::string seen;
  ASSERT_TRUE(socket_->WaitFor("WATCHDOG=1", seen));

  boost::asio::post(io, [&] {
    blocked.set_value();
    release.get_future().wait();
  });
  blocked.get_future().wait();
  socket_->Collect(milliseconds(0), seen);
  EXPECT_EQ(socket_->Collect(kSilentWindow, seen), 0);

  release.set_value();
  EXPECT_TRUE(socket_->WaitFor("WATCHDOG=1", seen));
  io.stop();
  loop.join();
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return e2e::ReadProgramArguments(argc, argv, false) ? RUN_ALL_TESTS() : 2;
}
