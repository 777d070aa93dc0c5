#pragma once

// Text forms shared by the host program's outputs.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace host_text {

// Uppercase two-digit bytes separated by single blanks: "FE FE 01 A1 A2".
std::string Hex(const unsigned char* data, std::size_t length);

// The shortest text that reads back to the same float: "53.5", "-100", "nan".
std::string Float(float value);

// A JSON string literal, quotes included, escaped as jsoncpp's writer escapes
// with emitUTF8: '"', '\\', \b \f \n \r \t, other control characters as
// \u00xx (lowercase); UTF-8 and every other byte pass through unchanged.
std::string Quoted(std::string_view text);

// The UTC offset of the local time zone at a local calendar time, "+01:00";
// empty when the time cannot be placed (out of the platform's time range).
// A guess for the hour repeated when daylight saving time ends.
std::string UtcOffset(const std::tm& local);

// The UTC offset, minutes east, that was in force when the local calendar
// time `local` (tm_year .. tm_sec) was current, looked for among the few
// seconds up to `now`: exact also in the repeated hour. Empty when none of
// those seconds reads as `local` (the clock was set meanwhile).
std::optional<int> UtcOffsetWhenRecent(const std::tm& local, std::time_t now);
// "+01:00" for 60.
std::string FormatUtcOffset(int minutes_east);

// A calendar second and its milliseconds as local time with the UTC offset,
// ISO 8601: "2026-03-01T12:00:05.123+01:00".
std::string LocalStamp(std::time_t calendar_second, int milliseconds);

// Now as LocalStamp gives it. The local time of the current second is kept
// (per thread): a change of the time zone (tzset) shows from the next second.
std::string Now();
// The same, appended to `out`.
void AppendNow(std::string& out);

// What kind of file a stat mode is, for messages: "a FIFO", "a regular file", ...
const char* FileKind(unsigned int mode);

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, no
// code point past U+10FFFF, no sequence cut short. The JSON lines carry names
// as they are, so a name that is not UTF-8 would make them unreadable.
bool IsValidUtf8(std::string_view text);

}  // namespace host_text
