#include "programs/command-line/command_line.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

#include "programs/command-line/number_text.h"

namespace command_line {

const char* const kVersion = BATTERY_VERSION;

namespace {

std::string Found(const std::string& text) {
  return ", found '" + text + "'";
}

std::string Shortest(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// The subcommand that `word` names, where the program expects one; false for
// an option, and for a program without subcommands.
bool NamesNoSubcommand(const CLI::App& app, const std::string& word) {
  const auto subcommands = app.get_subcommands({});
  if (subcommands.empty() || word.empty() || word.front() == '-') return false;
  return std::none_of(subcommands.begin(), subcommands.end(),
                      [&word](const CLI::App* sub) { return sub->check_name(word); });
}

int UnknownSubcommand(const CLI::App& app, const std::string& word) {
  std::cerr << app.get_name() << ": unknown subcommand '" << word << "'; expected one of:";
  for (const CLI::App* sub : app.get_subcommands({})) std::cerr << ' ' << sub->get_name();
  std::cerr << " (--help lists them)\n";
  return kUsageError;
}

}  // namespace

void AddVersion(CLI::App& app) {
  app.set_version_flag("--version", app.get_name() + " " + kVersion,
                       "print the program's name and version, and exit");
}

CLI::Validator WholeNumber(unsigned long long min, unsigned long long max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        const auto value = number_text::ParseWhole(text, max);
        if (!value || *value < min)
          return "expected " + number_text::Expected(min, max) + Found(text);
        text = std::to_string(*value);
        return {};
      },
      "INTEGER " + std::to_string(min) + ".." + std::to_string(max));
}

CLI::Validator NumberIn(double min, double max) {
  const std::string range = Shortest(min) + " to " + Shortest(max);
  return CLI::Validator(
      [min, max, range](std::string& text) -> std::string {
        std::size_t used = 0;
        double value = NAN;
        try {
          value = std::stod(text, &used);
        } catch (const std::exception&) {
          used = 0;
        }
        if (used == 0 || used != text.size() || !(value >= min && value <= max)) {
          return "expected a number from " + range + Found(text);
        }
        return {};
      },
      "NUMBER " + Shortest(min) + ".." + Shortest(max));
}

std::optional<int> Parse(CLI::App& app, int argc, char** argv) {
  if (argc > 1 && NamesNoSubcommand(app, argv[1])) return UnknownSubcommand(app, argv[1]);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help (exit code 0) goes to standard output, mistakes to standard error.
    return app.exit(error, std::cout, std::cerr) == 0 ? 0 : kUsageError;
  }
  return std::nullopt;
}

}  // namespace command_line
