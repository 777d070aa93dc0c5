#pragma once

// A device's history: every record saved by the device, appended to one file.
// Each entry is framed so that a record torn by a power cut is recognised:
//
//   offset  size  content
//        0     4  magic "B32H"
//        4   152  the record, byte for byte
//      156     4  CRC-32 of the 152 record bytes, little-endian
//      160        next entry
//
// A file whose size is not a multiple of 160 ends in a torn entry; it is cut
// off before the next append. An entry whose magic or CRC does not verify is
// skipped. Recovery looks for the newest intact entry from the end.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "battery/record.h"

class HistoryFile {
 public:
  static constexpr std::size_t kEntrySize = 4 + battery_record::kSize + 4;
  using Record = std::array<unsigned char, battery_record::kSize>;

  explicit HistoryFile(std::string path);
  ~HistoryFile();
  HistoryFile(const HistoryFile&) = delete;
  HistoryFile& operator=(const HistoryFile&) = delete;

  // The newest intact record, if any. Torn and corrupt entries are described
  // in `notes` (one line each) and never returned; a torn tail is cut off.
  std::optional<Record> Recover(std::string& notes);
  // Appends one entry; false (with errno set) when it could not be written whole.
  bool Append(const unsigned char* record, std::size_t length);
  const std::string& Path() const { return path_; }

  // The entry that frames `record`.
  static std::array<unsigned char, kEntrySize> Frame(const unsigned char* record);
  static bool Verify(const unsigned char* entry);

 private:
  std::string path_;
  int fd_ = -1;
};
