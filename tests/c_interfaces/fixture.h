#pragma once

// A small C library for the test of the build's check of calls into C
// libraries: one function whose declaration is free of time and file-offset
// types, and one for each way such a type can hide in a declaration.

#include <sys/time.h>
#include <sys/types.h>

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef time_t fixture_stamp;
struct fixture_reading {
  struct timeval when;
  int value;
};
typedef struct fixture_reading fixture_reading_t;
typedef int (*fixture_callback)(int channel, off_t position);

int fixture_count(int channel);
int fixture_at(fixture_stamp when);
int fixture_read(const fixture_reading_t* reading);
int fixture_seek(int channel, off_t position);
int fixture_subscribe(fixture_callback callback);

#ifdef __cplusplus
}
#endif
