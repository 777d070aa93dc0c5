# Compile options shared by the project's own targets (never by third-party code).
# The project's scripts and CI configure through CMakePresets.json, which turns
# BATTERY_WERROR on; a plain configure (another compiler, one with new
# warnings) only warns.
option(BATTERY_WERROR "Treat warnings as errors" OFF)
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference
  $<$<BOOL:${BATTERY_WERROR}>:-Werror>
  # Measurements are computed one rounded single-precision operation at a
  # time; a fused multiply-add would round once and change the last bit.
  -ffp-contract=off)
target_include_directories(project_options INTERFACE ${PROJECT_SOURCE_DIR})

# Code that ends up inside the plug-in: nothing but the entry point is exported.
add_library(plugin_visibility INTERFACE)
target_compile_options(plugin_visibility INTERFACE -fvisibility=hidden -fvisibility-inlines-hidden)
