#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

// Command-line parsing shared by the tools and the evaluation runners. Every
// error is one line "<tool>: <reason>" on stderr and exit code 2; --help and
// --version print on stdout and exit 0.
namespace aec_tools {

constexpr int kExitUsage = 2;

// A whole number (integer true) or any number in [low, high]. With a word
// ("auto"), that word is accepted too and handed on as wordValue; such a
// validator rewrites the text, so attach it with transform(), not check().
CLI::Validator numberIn(double low, double high, bool integer, const std::string& word = "",
                        const std::string& wordValue = "");

// An App with the tool's name and description, -h/--help and the help
// layout the tools share.
void setUpApp(CLI::App& app);

// Parses words (the program name not included). Returns -1 to go on, else
// the exit code after printing help, the version or the error.
int parseWords(CLI::App& app, std::vector<std::string> words);
int parseCommandLine(CLI::App& app, int argc, const char* const* argv);

}  // namespace aec_tools
