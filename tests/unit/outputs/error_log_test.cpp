// Lines on the host's error stream reach the stream below whole, each in one
// write behind its prefixes, however they were put together.

#include "programs/battery-host/support/error_log.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// Keeps each write it is handed as one piece.
class WriteLog : public std::streambuf {
 public:
  std::vector<std::string> writes;

 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    writes.emplace_back(data, static_cast<std::size_t>(size));
    return size;
  }
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      writes.emplace_back(1, traits_type::to_char_type(ch));
    }
    return traits_type::not_eof(ch);
  }
};

TEST(ErrorLogTest, EachLineIsOneWriteBehindItsPriority) {
  WriteLog target;
  std::ostream err(&target);
  {
    error_log::LinePrefixes prefixes(err, {true, false});
    err << error_log::Warning << "battery-host: " << 1001 << ": port" << ' ' << "gone\n";
    err << "battery-host: next" << std::endl;
    err << error_log::Error << "battery-host: half";
    err.flush();
    err << " and the rest\n" << error_log::Error << "battery-host: unfinished";
  }
  const std::vector<std::string> expected = {"<4>battery-host: 1001: port gone\n",
                                             "<6>battery-host: next\n", "<3>battery-host: half",
                                             " and the rest\n", "<3>battery-host: unfinished"};
  EXPECT_EQ(target.writes, expected);
}

}  // namespace
