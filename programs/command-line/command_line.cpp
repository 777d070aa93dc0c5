#include "programs/command-line/command_line.h"

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

#include "programs/command-line/number_text.h"

namespace command_line {

namespace {

std::string Found(const std::string& text) {
  return ", found '" + text + "'";
}

std::string Shortest(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

}  // namespace

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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help (exit code 0) goes to standard output, mistakes to standard error.
    return app.exit(error, std::cout, std::cerr) == 0 ? 0 : kUsageError;
  }
  return std::nullopt;
}

}  // namespace command_line
