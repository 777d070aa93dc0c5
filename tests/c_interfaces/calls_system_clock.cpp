// Reads the clock through libstdc++'s std::chrono::system_clock, which the
// controller's libstdc++ does with a 32-bit time_t.
#include <chrono>

long long SecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
