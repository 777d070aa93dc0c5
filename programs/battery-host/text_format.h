#pragma once

// Text forms shared by the host program's outputs.

#include <cstddef>
#include <cstdint>
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

// What kind of file a stat mode is, for messages: "a FIFO", "a regular file", ...
const char* FileKind(unsigned int mode);

}  // namespace host_text
