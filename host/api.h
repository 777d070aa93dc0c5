#pragma once

// Symbols of the host framework library. Plug-ins are built with hidden
// visibility; the framework's classes must stay visible to them so that a
// plug-in links against the one copy inside the framework library.
#define HOST_API __attribute__((visibility("default")))
