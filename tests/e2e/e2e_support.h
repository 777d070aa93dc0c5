#pragma once

// What the end-to-end tests share besides running programs (process.h):
// temporary folders, waiting for a condition, devices of a host
// configuration and the host's output lines of one type, loopback ports,
// programs of this machine, and a plain HTTP client for the host's status
// page and API.

#include <arpa/inet.h>
#include <json/value.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace e2e {

// A folder of the test's own under the system's temporary folder, removed
// with everything in it when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool Made() const { return !path_.empty(); }
  const std::filesystem::path& Folder() const { return path_; }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// True once `done` says so, false when `limit` passed first.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::seconds limit = std::chrono::seconds(60),
                    std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// A device of a host configuration. `address` is JSON as written (129,
// "\"0x81\""); `more` adds members after the port, each with its leading comma.
inline std::string Device(unsigned data_id, const std::string& address, const std::string& port,
                          const std::string& more = "") {
  return R"({"data_id": )" + std::to_string(data_id) + R"(, "address": )" + address +
         R"(, "port": ")" + port + "\"" + more + "}";
}

// The host's output lines of `type`.
inline std::vector<Json::Value> OfType(const std::vector<Json::Value>& lines,
                                       const std::string& type) {
  std::vector<Json::Value> found;
  for (const Json::Value& line : lines) {
    if (line["type"].asString() == type) found.push_back(line);
  }
  return found;
}

// The host's output lines of `type` for the device `data_id`.
inline std::vector<Json::Value> OfType(const std::vector<Json::Value>& lines,
                                       const std::string& type, unsigned data_id) {
  std::vector<Json::Value> found;
  for (const Json::Value& line : OfType(lines, type)) {
    if (line["data_id"].asUInt() == data_id) found.push_back(line);
  }
  return found;
}

// A program of this machine: in PATH, or where Debian puts servers.
inline std::string FindProgram(const std::string& name) {
  std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/usr/bin";
  std::istringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::filesystem::path candidate = std::filesystem::path(folder) / name;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

inline sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A loopback port that nothing listens on now.
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

struct Reply {
  int status = 0;  // 0: no status line
  std::string head;
  std::string body;
  bool closed = false;   // by the peer, not for want of time
  std::size_t size = 0;  // bytes read
};

inline Reply ParseReply(const std::string& text, bool closed) {
  Reply reply;
  reply.closed = closed;
  reply.size = text.size();
  const std::size_t end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
  reply.status = std::atoi(text.c_str() + 9);
  reply.head = text.substr(0, end);
  reply.body = text.substr(end + 4);
  return reply;
}

// A socket of the test to a loopback port; closed with it.
class Socket {
 public:
  explicit Socket(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = Loopback(port);
    connected_ =
        fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Connected() const { return connected_; }

  // False once the peer has closed the connection.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  bool Readable(std::chrono::milliseconds wait) const {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1;
  }

  // The reply: everything until the peer closes (or resets) the connection,
  // or until `limit`.
  Reply Read(std::chrono::seconds limit) const {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < deadline) {
      if (!Readable(std::chrono::milliseconds(100))) continue;
      char chunk[4096];
      const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      closed = got <= 0;
      if (!closed) text.append(chunk, static_cast<std::size_t>(got));
    }
    return ParseReply(text, closed);
  }

 private:
  int fd_;
  bool connected_ = false;
};

// Sends `request` on a fresh connection and reads the reply to the close,
// waiting at most `limit`.
inline Reply Exchange(int port, const std::string& request,
                      std::chrono::seconds limit = std::chrono::seconds(20)) {
  Socket socket(port);
  if (!socket.Connected() || !socket.Send(request)) return {};
  return socket.Read(limit);
}

inline Reply Get(int port, const std::string& path,
                 std::chrono::seconds limit = std::chrono::seconds(20)) {
  return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                  limit);
}

}  // namespace e2e
