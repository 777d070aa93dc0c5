#include "programs/battery-host/config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "programs/battery-host/support/text_format.h"

namespace {

ConfigText Unread(std::string problem) {
  return {{}, std::move(problem)};
}

ConfigText CannotBeRead(int error) {
  return Unread(std::string("cannot be read: ") + std::strerror(error));
}

const std::string kTooLarge = "is larger than " + std::to_string(kMaxConfigBytes) +
                              " bytes (1 MiB), the most a host configuration may be";

// Reads what `fd` holds, at most one byte past the bound: a file that grows
// while it is read is still found too large.
ConfigText ReadBounded(int fd) {
  std::string text;
  char chunk[16384];
  while (text.size() <= kMaxConfigBytes) {
    const std::size_t wanted = std::min(sizeof chunk, kMaxConfigBytes + 1 - text.size());
    const ssize_t got = ::read(fd, chunk, wanted);
    if (got == 0) return {std::move(text), {}};
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return CannotBeRead(errno);
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return Unread(kTooLarge);
}

ConfigText ReadOpened(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return CannotBeRead(errno);
  if (!S_ISREG(info.st_mode)) {
    return Unread(std::string("is ") + host_text::FileKind(info.st_mode) + ", not a regular file");
  }
  if (static_cast<std::size_t>(info.st_size) > kMaxConfigBytes) return Unread(kTooLarge);
  return ReadBounded(fd);
}

// The offset of the last character of the string that starts at `at`.
std::size_t StringEnd(std::string_view text, std::size_t at) {
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return text.size();
}

// The offset of the last character of the comment that starts at `at`; `at`
// itself when no comment starts there.
std::size_t CommentEnd(std::string_view text, std::size_t at) {
  const std::string_view rest = text.substr(at);
  if (rest.rfind("//", 0) == 0) return std::min(text.find('\n', at), text.size());
  if (rest.rfind("/*", 0) != 0) return at;
  const std::size_t close = text.find("*/", at + 2);
  return close == std::string_view::npos ? text.size() : close + 1;
}

TextPlace PlaceOf(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, offset);
  const std::size_t line_start = before.rfind('\n') + 1;  // 0 on the first line
  return {static_cast<int>(std::count(before.begin(), before.end(), '\n')) + 1,
          static_cast<int>(offset - line_start) + 1};
}

}  // namespace

ConfigText ReadConfigFile(const std::string& path) {
  // Without O_NONBLOCK opening a FIFO would wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return CannotBeRead(errno);
  ConfigText read = ReadOpened(fd);
  ::close(fd);
  return read;
}

std::optional<TextPlace> FindTooDeepNesting(std::string_view text) {
  int depth = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    switch (text[at]) {
      case '"':
        at = StringEnd(text, at);
        break;
      case '/':
        at = CommentEnd(text, at);
        break;
      case '[':
      case '{':
        if (++depth > kMaxConfigDepth) return PlaceOf(text, at);
        break;
      case ']':
      case '}':
        --depth;
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}
