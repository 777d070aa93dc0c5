// Calls only the test library's function that takes no time or offset type.
#include "tests/c_interfaces/fixture.h"

int CountChannel(int channel) {
  return fixture_count(channel);
}
