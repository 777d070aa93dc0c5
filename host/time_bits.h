#pragma once

// Every library and program of the project is built with a 64-bit time_t and
// 64-bit file offsets (_TIME_BITS=64, _FILE_OFFSET_BITS=64, set for all
// targets in cmake/ProjectOptions.cmake); the controller's 32-bit glibc would
// otherwise give 32 bits to both. A controller without a real-time clock, or
// with one set far ahead, stamps records after January 2038, which a 32-bit
// time_t cannot hold. History rings never approach 2 GiB, but time_t, off_t
// and struct stat cross the interfaces between the plug-in, the framework
// library and the programs, so every one of them must see the same sizes: a
// source that includes this header compiles with those sizes only.

#include <sys/types.h>

#include <ctime>

static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits wide (_TIME_BITS=64)");
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits wide (_FILE_OFFSET_BITS=64)");
