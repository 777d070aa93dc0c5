#include "programs/battery-host/text_format.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <utility>

namespace host_text {

std::string Hex(const unsigned char* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 3);
  for (std::size_t i = 0; i < length; ++i) {
    if (i != 0) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

std::string Float(float value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

const char* FileKind(unsigned int mode) {
  static const std::pair<unsigned int, const char*> kKinds[] = {
      {S_IFREG, "a regular file"}, {S_IFDIR, "a directory"}, {S_IFCHR, "a character device"},
      {S_IFBLK, "a block device"}, {S_IFIFO, "a FIFO"},      {S_IFSOCK, "a socket"},
      {S_IFLNK, "a symbolic link"}};
  for (const auto& [kind, name] : kKinds) {
    if ((mode & S_IFMT) == kind) return name;
  }
  return "an unknown kind of file";
}

}  // namespace host_text
