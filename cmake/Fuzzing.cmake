# Instrumentation of a fuzzing build (BATTERY_FUZZ): every target is compiled
# for libFuzzer's coverage feedback and with AddressSanitizer and
# UndefinedBehaviorSanitizer, which abort on the first report. Only the
# fuzz targets themselves link libFuzzer's driver.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "BATTERY_FUZZ needs clang (configure with CC=clang CXX=clang++)")
endif()
set(BATTERY_SANITIZERS address,undefined)
add_compile_options(-fsanitize=fuzzer-no-link,${BATTERY_SANITIZERS} -fno-sanitize-recover=all
  -fno-omit-frame-pointer)
add_link_options(-fsanitize=${BATTERY_SANITIZERS})
