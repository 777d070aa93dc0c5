# A 64-bit time_t and 64-bit file offsets in every target of every build: the
# controller's 32-bit glibc gives 32 bits to both unless asked (glibc 2.34 and
# later redirect its functions to their 64-bit variants). Set for the whole
# tree rather than through project_options: time_t, off_t and struct stat
# cross the interfaces between the plug-in, the framework library, the
# programs, the tests and the header-only Boost code compiled into them, and a
# target that missed the definitions would disagree with the others about
# their sizes. host/time_bits.h asserts the sizes where they matter.
add_compile_definitions(_TIME_BITS=64 _FILE_OFFSET_BITS=64)

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

# Hardening as Debian builds its packages (dpkg-buildflags): stack canaries,
# glibc's checked variants of memcpy, sprintf and their kin (which need the
# optimiser to know the sizes, so not in an unoptimised build), and
# relocations read-only once loaded with every symbol bound at start (full
# RELRO). Programs are position-independent executables, so that address
# randomisation moves them too (CMAKE_POSITION_INDEPENDENT_CODE gives -fPIE
# and, with policy CMP0083, -pie). On MIPS the linker leaves RELRO out
# (cmake/toolchain-mipsel.cmake says why).
include(CheckPIESupported)
check_pie_supported()
target_compile_options(project_options INTERFACE -fstack-protector-strong -Wformat
  -Werror=format-security)
target_compile_definitions(project_options INTERFACE
  $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  target_link_options(project_options INTERFACE -Wl,-z,now)
else()
  target_link_options(project_options INTERFACE -Wl,-z,relro -Wl,-z,now)
endif()

# Code that ends up inside the plug-in: nothing but the entry point is exported.
# Linked PRIVATE by each of the plug-in's libraries, so that the host programs
# and the tests that link those libraries keep the default visibility.
add_library(plugin_visibility INTERFACE)
target_compile_options(plugin_visibility INTERFACE -fvisibility=hidden -fvisibility-inlines-hidden)
