# Debian's ccache, where it is installed: the builds of one CI run (and of two
# clones or build folders) share what they compile alike. Paths under the
# source tree are hashed relative to it and the working folder not at all, so
# the valgrind build, whose flags are the default build's, compiles nothing anew.
option(BATTERY_CCACHE "Compile through ccache when it is installed" ON)
find_program(BATTERY_CCACHE_PROGRAM ccache)
if(BATTERY_CCACHE AND BATTERY_CCACHE_PROGRAM AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}
    CCACHE_NOHASHDIR=1 ${BATTERY_CCACHE_PROGRAM})
endif()
