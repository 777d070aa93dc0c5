#include "programs/battery-host/outputs/plugin_lines.h"

#include <charconv>
#include <iostream>

PluginLines::PluginLines(std::streambuf* target)
    : target_(target), replaced_(std::cout.rdbuf(this)) {}

PluginLines::~PluginLines() {
  EndLine();
  std::cout.rdbuf(replaced_);
}

void PluginLines::StartLine(std::string& line) {
  line = "battery-host: ";
  char id[16];
  const auto written = std::to_chars(id, id + sizeof id, subject_).ptr;
  if (has_subject_) line.append(id, written).append(" ");
  line += "plug-in: ";
}

// A line goes over whole, with its prefix, once its end is written.
bool PluginLines::LineEnded() {
  std::string& line = Line();
  target_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
  target_->pubsync();
  line.clear();
  return true;
}
