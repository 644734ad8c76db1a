// The command-line conventions every tool beside karvel shares: getopt_long parsing (--opt=value,
// "--" ends the options, options and operands in any order), --help and --version, usage errors
// as one line on standard error with exit status 2, and surviving a file-size limit.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace toolCli {

// Exit status of a command line that cannot be run as given.
inline constexpr int kUsageStatus = 2;

// One option a tool accepts: a long name ("" for none) and/or a short letter (0 for none).
struct OptionSpec {
    std::string longName;
    char shortName = 0;
    bool takesValue = false;
};

// --check-options: a tool that accepts it can be asked only to judge its command line, so that a batch
// refuses a bad option once, with the tool's own message, before it starts many runs.
inline const OptionSpec kCheckOptions{"check-options", 0, false};
// The tool's options and --check-options.
std::vector<OptionSpec> withCheckOptions(std::vector<OptionSpec> specs);

struct CommandLine {
    // Options in the order given, each under its long name (or its letter when it has none).
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;
    bool help = false;     // -h or --help: the tool prints its usage and stops
    bool version = false;  // --version
    std::string error;     // set when the line cannot be parsed; the message names the option
};

// Parses argv; -h/--help and --version are always accepted.
CommandLine parseCommandLine(int argc, char** argv, const std::vector<OptionSpec>& specs);

// The value of a numeric option: the whole text is one finite number within [low, high]; nothing
// otherwise (empty text, trailing words, "nan", out of range).
std::optional<double> parseNumber(const std::string& text, double low, double high);
// The same for a whole number.
std::optional<long long> parseWholeNumber(const std::string& text, long long low, long long high);

// Call once the tool has judged every option value: with --check-options given, prints the options
// as understood ("name<TAB>value", value empty for a switch), one per line in the order given, and
// returns 0 for the tool to stop with; nothing otherwise.
std::optional<int> checkedOnly(const CommandLine& line);

// Prints "ERROR: <message>" to standard error and returns kUsageStatus.
int usageError(const std::string& message);

// Prints "<program> (KARVEL) <version>" to standard output and returns 0.
int printVersion(const std::string& program);

// A write beyond the file-size limit then fails with EFBIG (reported like any failed write) instead
// of killing the process with no message and a half-written file.
void ignoreFileSizeSignal();

// What every tool does first with its parsed line: a parse error, -h/--help or --version. Returns the
// exit status when the tool stops there, nothing when it goes on.
std::optional<int> settleStandardOptions(const CommandLine& line, const std::string& program,
                                         void (*printUsage)(std::ostream&));

}  // namespace toolCli
