#pragma once

// Reading a host configuration so that no file can stop the host: only a
// regular file of bounded size is read (a FIFO or a terminal would make the
// reader wait, /dev/zero would fill the memory), and the nesting of its
// objects and arrays is bounded before the JSON parser recurses into it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// 1 MiB: hundreds of devices, each with its plug-in settings and a threshold
// for every cell, take a few hundred KiB; a larger file is not a host
// configuration.
inline constexpr std::size_t kMaxConfigBytes = 1 << 20;

// A real configuration nests six levels deep (devices, a device, its config,
// thresholdSetting, a variable, its values); 64 leaves room for any layout
// and keeps the parser's recursion far from the stack's end.
inline constexpr int kMaxConfigDepth = 64;

struct ConfigText {
  std::string text;
  std::string problem;  // empty when read: else why not, e.g. "is a FIFO, not a regular file"
};

ConfigText ReadConfigFile(const std::string& path);

struct TextPlace {
  int line = 0;
  int column = 0;
};

// Where the objects and arrays of `text` first nest deeper than
// kMaxConfigDepth; strings and comments (// and /* */, which the parser
// accepts) do not count. Nothing when they never do.
std::optional<TextPlace> FindTooDeepNesting(std::string_view text);
