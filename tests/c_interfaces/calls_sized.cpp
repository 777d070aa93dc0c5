// Calls every function of the test library whose declaration involves a type
// that changes size with _TIME_BITS or _FILE_OFFSET_BITS, and the clean one.
#include "tests/c_interfaces/fixture.h"

namespace {
int OnPosition(int channel, off_t position) {
  return position > 0 ? channel : 0;
}
}  // namespace

int UseEverything(const fixture_reading_t& reading) {
  return fixture_count(1) + fixture_at(0) + fixture_read(&reading) + fixture_seek(1, 0) +
         fixture_subscribe(OnPosition);
}
