#pragma once

// Programs under test run as child processes: spawned with their output in
// files, waited for with a generous limit, and stopped by their own pid. The
// program paths and an optional emulator prefix (qemu-user for cross builds)
// come from the command line of the test.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace e2e {

struct Programs {
  std::string host;
  std::string sim;
  std::string example;
  std::vector<std::string> emulator;  // empty when the programs run natively
};
inline Programs& programs() {
  static Programs instance;
  return instance;
}

// Reads the test's own arguments after gtest's: --host PATH --sim PATH
// [--example FILE] [--emulator WORDS]; false, with the usage written, when one
// it needs is missing.
inline bool ReadProgramArguments(int argc, char** argv, bool needs_example) {
  Programs& found = programs();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--host") found.host = value;
    if (option == "--sim") found.sim = value;
    if (option == "--example") found.example = value;
    if (option == "--emulator") {
      // A CMake list ("qemu-mipsel;-L;/sysroot") or words separated by blanks.
      std::string text = value;
      std::replace(text.begin(), text.end(), ';', ' ');
      std::istringstream words(text);
      for (std::string word; words >> word;) found.emulator.push_back(word);
    }
  }
  if (!found.host.empty() && !found.sim.empty() && (!needs_example || !found.example.empty()))
    return true;
  std::cerr << "usage: " << argv[0] << " --host PATH --sim PATH"
            << (needs_example ? " --example FILE" : "") << " [--emulator WORDS]\n";
  return false;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program of the machine the test runs on (a browser) rather than one of the build.
enum class Native { kNo, kYes };

class Process {
 public:
  // Runs `program` with `args` (through the emulator, if any, unless it is
  // native); standard output and error go to the files named (the same name:
  // one file).
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::string& out_file, const std::string& err_file, Native native = Native::kNo) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err_file == out_file) {
      // One stream: what the program writes on either stays in the order written.
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    Spawn(program, args, native, actions);
  }
  // The same with standard output going to `out_fd` (the write end of a pipe
  // that the test reads, or does not).
  Process(const std::string& program, const std::vector<std::string>& args, int out_fd,
          const std::string& err_file, Native native = Native::kNo) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Spawn(program, args, native, actions);
  }
  ~Process() { Stop(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The exit status, or nothing when the process was still running after
  // `limit` (it is then killed).
  std::optional<int> Wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0) {
      if (Reap(WNOHANG)) return status_;
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        Reap(0);
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }

  bool Running() { return pid_ > 0 && !Reap(WNOHANG); }

  // Sends a signal (SIGSTOP, SIGCONT, ...) to the process.
  void Signal(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // Ends the process at once with SIGKILL, as a power cut would end it.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap(0);
  }

  // Sends SIGTERM; the exit status, or nothing when it had to be killed.
  std::optional<int> Stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    return Wait(std::chrono::seconds(10));
  }

 private:
  void Spawn(const std::string& program, const std::vector<std::string>& args, Native native,
             posix_spawn_file_actions_t& actions) {
    std::vector<std::string> command;
    if (native == Native::kNo) command = programs().emulator;
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  bool Reap(int flags) {
    int status = 0;
    if (::waitpid(pid_, &status, flags) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return true;
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace e2e
