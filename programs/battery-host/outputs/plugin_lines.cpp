#include "programs/battery-host/outputs/plugin_lines.h"

#include <algorithm>
#include <charconv>
#include <iostream>

PluginLines::PluginLines(std::streambuf* target)
    : target_(target), replaced_(std::cout.rdbuf(this)) {}

PluginLines::~PluginLines() {
  if (!line_.empty()) EndLine();
  std::cout.rdbuf(replaced_);
}

PluginLines::int_type PluginLines::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  xsputn(&c, 1);
  return ch;
}

// A line goes over whole, with its prefix, once its end is written.
std::streamsize PluginLines::xsputn(const char* data, std::streamsize size) {
  const char* end = data + size;
  while (data != end) {
    if (line_.empty()) {
      line_ = "battery-host: ";
      char id[16];
      const auto written = std::to_chars(id, id + sizeof id, subject_).ptr;
      if (has_subject_) line_.append(id, written).append(" ");
      line_ += "plug-in: ";
    }
    const char* newline = std::find(data, end, '\n');
    line_.append(data, newline);
    if (newline == end) break;
    EndLine();
    data = newline + 1;
  }
  return size;
}

void PluginLines::EndLine() {
  line_ += '\n';
  target_->sputn(line_.data(), static_cast<std::streamsize>(line_.size()));
  target_->pubsync();
  line_.clear();
}
