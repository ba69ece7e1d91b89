#include "tools/cli.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tools/audio_file.h"

namespace aec_tools {

namespace {

std::string formatBound(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

bool readNumber(const std::string& text, bool integer, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0 && std::isfinite(value) && (!integer || value == std::floor(value));
}

// CLI11's messages for words left over and for counts ("--x: 1 required N
// missing", "--x: At Most 1 required but received 2"), in plain words.
std::string plainMessage(const CLI::App& app, const CLI::ParseError& error) {
  std::string message = error.what();
  std::replace(message.begin(), message.end(), '\n', ' ');
  if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
    const std::vector<std::string> left = app.remaining(true);
    const auto option = std::find_if(left.begin(), left.end(), [](const std::string& w) { return w[0] == '-'; });
    if (option != left.end()) return "unknown option " + *option;
    if (!left.empty()) return "unexpected argument '" + left.front() + "'";
  }
  if (!dynamic_cast<const CLI::ArgumentMismatch*>(&error)) return message;
  const std::string option = message.substr(0, message.find(':'));
  if (message.find(" missing") != std::string::npos) return option + ": missing value";
  if (message.find("At Most") != std::string::npos) return option + ": given more than once";
  return message;
}

}  // namespace

CLI::Validator numberIn(double low, double high, bool integer, const std::string& word, const std::string& wordValue) {
  const std::string wanted = std::string(integer ? "a whole number" : "a number") + " from " + formatBound(low) +
                             " to " + formatBound(high) + (word.empty() ? "" : " or '" + word + "'");
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        if (!word.empty() && text == word) {
          text = wordValue;
          return {};
        }
        double value = 0.0;
        if (readNumber(text, integer, value) && value >= low && value <= high) return {};
        return "expected " + wanted + ", got '" + text + "'";
      },
      "");
}

void setUpApp(CLI::App& app) {
  app.set_help_flag("-h,--help", "print this help and exit");
  app.get_formatter()->column_width(30);
  app.get_formatter()->label("REQUIRED", "(required)");
}

int parseWords(CLI::App& app, std::vector<std::string> words) {
  std::vector<const char*> argv{app.get_name().c_str()};
  for (const std::string& word : words) argv.push_back(word.c_str());
  try {
    app.parse(int(argv.size()), argv.data());
    return -1;
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
    return 0;
  } catch (const CLI::ParseError& error) {
    fail(plainMessage(app, error));
    return kExitUsage;
  }
}

int parseCommandLine(CLI::App& app, int argc, const char* const* argv) {
  return parseWords(app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
}

}  // namespace aec_tools
