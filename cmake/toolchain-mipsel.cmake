# Cross build for the controller: 32-bit little-endian MIPS (o32), Linux, glibc.
#
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake \
#         -DMIPSEL_SYSROOT=<folder assembled by scripts/mipsel-sysroot>
#
# The compiler is Debian's g++-mipsel-linux-gnu with its own C and C++ runtime
# (under /usr/mipsel-linux-gnu). MIPSEL_SYSROOT adds what the project needs on
# top of that: jsoncpp, Boost and GoogleTest built for mipsel. Programs built
# here run on this machine through qemu-mipsel, with MIPSEL_SYSROOT as the
# prefix under which the guest finds its dynamic loader and libraries.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# try_compile projects read this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MIPSEL_SYSROOT)
if(NOT MIPSEL_SYSROOT)
  message(FATAL_ERROR "MIPSEL_SYSROOT is not set; scripts/mipsel-sysroot assembles one")
endif()
get_filename_component(MIPSEL_SYSROOT "${MIPSEL_SYSROOT}" ABSOLUTE)

# Libraries, headers and package files come from the sysroot only, never from
# this machine's own /usr; build tools (pkg-config, qemu) from this machine.
set(CMAKE_FIND_ROOT_PATH "${MIPSEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries that the sysroot's libraries need in turn (libsystemd's) are
# looked up there when linking. No RELRO: aligning the read-only-after-load
# part to MIPS's 64 KiB pages would nearly double the plug-in's size.
string(JOIN ":" mipsel_library_dirs "${MIPSEL_SYSROOT}/lib/mipsel-linux-gnu"
       "${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${mipsel_library_dirs}")
# Headers of the sysroot name their files (__FILE__ in Boost's exceptions) as
# they lie on the controller, not inside the build folder.
set(CMAKE_CXX_FLAGS_INIT "-fmacro-prefix-map=${MIPSEL_SYSROOT}=")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${mipsel_library_dirs}")

# Debian keeps architecture-specific headers (OpenSSL's configuration) in a
# multiarch folder, which the cross compiler does not search in the sysroot.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu")

set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${MIPSEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${MIPSEL_SYSROOT}")

# CTest hands the emulator to shell scripts as one word, so the qemu command
# with its options lives in a small wrapper in the build tree.
find_program(QEMU_MIPSEL qemu-mipsel REQUIRED)
set(mipsel_run "${CMAKE_BINARY_DIR}/mipsel-run")
file(CONFIGURE OUTPUT "${mipsel_run}" CONTENT
     "#!/bin/sh\n# Runs a mipsel program under qemu with the cross sysroot as its prefix.\nexec \"${QEMU_MIPSEL}\" -L \"${MIPSEL_SYSROOT}\" \"$@\"\n")
file(CHMOD "${mipsel_run}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${mipsel_run}")
