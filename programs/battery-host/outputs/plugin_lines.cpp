#include "programs/battery-host/outputs/plugin_lines.h"

#include <charconv>
#include <iostream>
#include <utility>

PluginLines::PluginLines(std::streambuf* target, Clock clock)
    : target_(target), replaced_(std::cout.rdbuf(this)), clock_(std::move(clock)) {}

PluginLines::~PluginLines() {
  EndLine();
  std::cout.rdbuf(replaced_);
  const auto now = clock_();
  for (auto& [subject, repeats] : repeats_) WriteRepeats(subject, repeats, now);
}

void PluginLines::Forget(unsigned int data_id) {
  const auto found = repeats_.find(data_id);
  if (found == repeats_.end()) return;
  WriteRepeats(found->first, found->second, clock_());
  repeats_.erase(found);
}

void PluginLines::Prefix(Subject subject, std::string& line) const {
  line = "battery-host: ";
  if (subject != kNoSubject) {
    char id[16];
    const auto written = std::to_chars(id, id + sizeof id, subject).ptr;
    line.append(id, written).append(" ");
  }
  line += "plug-in: ";
}

void PluginLines::StartLine(std::string& line) {
  line_subject_ = has_subject_ ? subject_ : kNoSubject;
  Prefix(line_subject_, line);
}

// A line goes over whole, with its prefix, once its end is written; a repeat
// is counted instead.
bool PluginLines::LineEnded() {
  std::string& line = Line();
  Repeats& repeats = repeats_[line_subject_];
  const auto now = clock_();
  if (line == repeats.last) {
    ++repeats.count;
    if (now - repeats.written >= kRepeatReport) WriteRepeats(line_subject_, repeats, now);
  } else {
    WriteRepeats(line_subject_, repeats, now);
    Send(line);
    repeats.written = now;
    repeats.last.swap(line);
  }
  line.clear();
  return true;
}

void PluginLines::WriteRepeats(Subject subject, Repeats& repeats,
                               std::chrono::steady_clock::time_point now) {
  if (repeats.count == 0) return;
  Prefix(subject, report_);
  char count[24];
  const auto written = std::to_chars(count, count + sizeof count, repeats.count).ptr;
  report_.append("last line repeated ").append(count, written).append(" times\n");
  Send(report_);
  repeats.count = 0;
  repeats.written = now;
}

void PluginLines::Send(const std::string& line) {
  target_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
  target_->pubsync();
}
