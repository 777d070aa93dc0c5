// The test library's functions; what they do does not matter to the check,
// which reads only their declarations and the callers' dynamic symbols.

#include "tests/c_interfaces/fixture.h"

extern "C" {

int fixture_count(int channel) {
  return channel;
}
int fixture_at(fixture_stamp when) {
  return when > 0 ? 1 : 0;
}
int fixture_read(const fixture_reading_t* reading) {
  return reading->value;
}
int fixture_seek(int channel, off_t position) {
  return position > 0 ? channel : 0;
}
int fixture_subscribe(fixture_callback callback) {
  return callback(0, 0);
}
// Exported, but declared in no header that the check is given.
int fixture_undeclared(int channel) {
  return channel;
}
}
