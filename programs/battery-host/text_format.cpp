#include "programs/battery-host/text_format.h"

#include <sys/stat.h>
#include <time.h>

#include <charconv>
#include <cstdio>
#include <utility>

#include "host/time_bits.h"

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

namespace {

std::string FormatOffset(long seconds_east) {
  const char sign = seconds_east < 0 ? '-' : '+';
  // Offsets lie within a day.
  const int minutes =
      static_cast<int>((seconds_east < 0 ? -seconds_east : seconds_east) / 60 % 1440);
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", sign, minutes / 60, minutes % 60);
  return text;
}

}  // namespace

std::string UtcOffset(const std::tm& local) {
  // Offsets change at most at whole hours: one look-up per hour of records.
  thread_local std::tm cached_hour{};
  thread_local std::string cached;
  if (!cached.empty() && local.tm_year == cached_hour.tm_year &&
      local.tm_mon == cached_hour.tm_mon && local.tm_mday == cached_hour.tm_mday &&
      local.tm_hour == cached_hour.tm_hour) {
    return cached;
  }
  std::tm placed = local;
  placed.tm_isdst = -1;
  const std::time_t when = std::mktime(&placed);
  std::tm back{};
  if (when == static_cast<std::time_t>(-1) || localtime_r(&when, &back) == nullptr) return {};
  cached_hour = local;
  cached = FormatOffset(back.tm_gmtoff);
  return cached;
}

std::string LocalStamp(std::time_t calendar_second, int milliseconds) {
  std::tm local{};
  localtime_r(&calendar_second, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                milliseconds);
  return text + FormatOffset(local.tm_gmtoff);
}

std::string Now() {
  // Not std::chrono::system_clock: the controller's libstdc++ was built with
  // a 32-bit time_t, and its system_clock::now() reads the clock into a
  // 32-bit timespec, which has no room for a second after January 2038.
  // glibc's clock_gettime, compiled here, is its 64-bit variant.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return LocalStamp(now.tv_sec, static_cast<int>(now.tv_nsec / 1000000));
}

}  // namespace host_text
