#pragma once

// The plug-in writes its own diagnostic lines ("rvSize is 0", its
// configuration trace) on std::cout. While a PluginLines lives, each of them
// goes to `target` (standard error, or a file the configuration names) as
//
//   battery-host: 1001 plug-in: rvSize is 0
//
// with the data id of the device the host is dealing with when the line is
// written: the one it called, or that called it.

#include <string>

#include "programs/battery-host/support/line_buffer.h"

class PluginLines final : public LineBuffer {
 public:
  explicit PluginLines(std::streambuf* target);
  ~PluginLines() override;
  PluginLines(const PluginLines&) = delete;
  PluginLines& operator=(const PluginLines&) = delete;

  void SetSubject(unsigned int data_id) {
    subject_ = data_id;
    has_subject_ = true;
  }

 protected:
  void StartLine(std::string& line) override;
  bool LineEnded() override;
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
  std::streambuf* replaced_;
  unsigned int subject_ = 0;
  bool has_subject_ = false;
};
