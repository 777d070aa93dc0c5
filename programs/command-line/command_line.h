#pragma once

// Command lines of the project's programs, parsed with CLI11: --help prints
// the usage on standard output and exits 0; a mistake is said on standard
// error, naming the option and what it expects, and exits 2.

#include <CLI/CLI.hpp>

#include <optional>

namespace command_line {

inline constexpr int kUsageError = 2;

// A whole number from `min` to `max` (decimal or 0x hex, see number_text.h),
// handed on in decimal so that CLI11 converts it the same way.
CLI::Validator WholeNumber(unsigned long long min, unsigned long long max);
// A decimal number from `min` to `max`.
CLI::Validator NumberIn(double min, double max);

// The project's version (CMake's project version).
extern const char* const kVersion;

// --version: prints "PROGRAM VERSION" (the app's name) and exits 0.
void AddVersion(CLI::App& app);

// Parses the command line: nothing when the program goes on, else the exit
// status (0 after --help or --version, kUsageError after a mistake). A word
// where the program expects its subcommand that names none is reported as
// "PROGRAM: unknown subcommand 'WORD'" with the list of subcommands.
std::optional<int> Parse(CLI::App& app, int argc, char** argv);

}  // namespace command_line
