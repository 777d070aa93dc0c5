#pragma once

// Heap allocations made through operator new anywhere in the process (the
// benchmark binary replaces the global allocation functions with counting
// ones). Read the count before and after a piece of work to learn how many
// allocations it made.

#include <cstdint>

namespace bench {

std::uint64_t AllocationCount();

}  // namespace bench
