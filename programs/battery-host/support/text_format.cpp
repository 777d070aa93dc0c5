#include "programs/battery-host/support/text_format.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
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

// A record is stamped moments before the host sees it: within this many
// seconds, on a loaded machine too.
constexpr int kStampLagSeconds = 2;

bool SameLocalTime(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// One form of UTF-8 sequence: the lead byte's marker bits, the sequence's
// length, and the smallest code point that needs this length (anything below
// written this way is an overlong form).
struct Utf8Form {
  unsigned char marker_mask;
  unsigned char marker;
  std::size_t length;
  char32_t smallest;
};
constexpr Utf8Form kUtf8Forms[] = {
    {0x80, 0x00, 1, 0}, {0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;

// The length of the well-formed sequence at `at`, 0 when there is none.
std::size_t SequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  for (const Utf8Form& form : kUtf8Forms) {
    if ((lead & form.marker_mask) != form.marker) continue;
    if (text.size() - at < form.length) return 0;
    char32_t code = lead & static_cast<unsigned char>(~form.marker_mask);
    for (std::size_t i = 1; i < form.length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return 0;
      code = (code << 6) | (next & 0x3F);
    }
    const bool surrogate = code >= kFirstSurrogate && code <= kLastSurrogate;
    return code < form.smallest || code > kLastCodePoint || surrogate ? 0 : form.length;
  }
  return 0;
}

}  // namespace

std::string FormatUtcOffset(int minutes_east) {
  const char sign = minutes_east < 0 ? '-' : '+';
  // Offsets lie within a day.
  const int minutes = (minutes_east < 0 ? -minutes_east : minutes_east) % 1440;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", sign, minutes / 60, minutes % 60);
  return text;
}

std::optional<int> UtcOffsetWhenRecent(const std::tm& local, std::time_t now) {
  for (int lag = 0; lag <= kStampLagSeconds; ++lag) {
    const std::time_t when = now - lag;
    std::tm then{};
    if (localtime_r(&when, &then) != nullptr && SameLocalTime(then, local)) {
      return static_cast<int>(then.tm_gmtoff / 60);
    }
  }
  return std::nullopt;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

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
  cached = FormatUtcOffset(static_cast<int>(back.tm_gmtoff / 60));
  return cached;
}

namespace {

// What the stamps within one calendar second share: "2026-03-01T12:00:05"
// and "+01:00".
struct StampSecond {
  std::time_t calendar_second = 0;
  bool made = false;
  std::string date_time;
  std::string offset;
};

void MakeStampSecond(std::time_t calendar_second, StampSecond& second) {
  std::tm local{};
  localtime_r(&calendar_second, &local);
  char text[64];
  const int size =
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                    local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  // What snprintf left in the buffer.
  const auto length = size > 0 ? std::min(static_cast<std::size_t>(size), sizeof text - 1) : 0;
  second.date_time.assign(text, length);
  second.offset = FormatUtcOffset(static_cast<int>(local.tm_gmtoff / 60));
  second.calendar_second = calendar_second;
  second.made = true;
}

void AppendStamp(const StampSecond& second, int milliseconds, std::string& out) {
  out += second.date_time;
  if (milliseconds >= 0 && milliseconds <= 999) {
    const char digits[] = {'.', static_cast<char>('0' + milliseconds / 100),
                           static_cast<char>('0' + milliseconds / 10 % 10),
                           static_cast<char>('0' + milliseconds % 10)};
    out.append(digits, sizeof digits);
  } else {
    char digits[16];
    std::snprintf(digits, sizeof digits, ".%03d", milliseconds);
    out += digits;
  }
  out += second.offset;
}

}  // namespace

std::string LocalStamp(std::time_t calendar_second, int milliseconds) {
  StampSecond second;
  MakeStampSecond(calendar_second, second);
  std::string out;
  AppendStamp(second, milliseconds, out);
  return out;
}

void AppendNow(std::string& out) {
  // Not std::chrono::system_clock: the controller's libstdc++ was built with
  // a 32-bit time_t, and its system_clock::now() reads the clock into a
  // 32-bit timespec, which has no room for a second after January 2038.
  // glibc's clock_gettime, compiled here, is its 64-bit variant.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Every line of the error stream is stamped: the local time is worked out
  // once a second, the lines within it take the milliseconds alone.
  thread_local StampSecond second;
  if (!second.made || second.calendar_second != now.tv_sec) MakeStampSecond(now.tv_sec, second);
  AppendStamp(second, static_cast<int>(now.tv_nsec / 1000000), out);
}

std::string Now() {
  std::string out;
  AppendNow(out);
  return out;
}

}  // namespace host_text
