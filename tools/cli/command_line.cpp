#include "tools/cli/command_line.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <csignal>
#include <iostream>

namespace toolCli {

namespace {

constexpr int kLongOnlyBase = 256;  // getopt_long codes of options without a letter
constexpr int kHelpCode = 'h';
constexpr int kVersionCode = kLongOnlyBase - 1;

std::string nameOf(const OptionSpec& s) {
    return s.longName.empty() ? std::string(1, s.shortName) : s.longName;
}

// The message for what getopt_long refused: an option it does not know, or a value given to one that
// takes none ("--flag=x").
std::string unknownOption(const std::string& written, const std::vector<option>& longOptions) {
    if (written.rfind("--", 0) != 0) return std::string("unknown option -") + static_cast<char>(optopt);
    const std::string name = written.substr(2, written.find('=') - 2);
    for (const option& o : longOptions)
        if (o.name != nullptr && name == o.name) return "option --" + name + " takes no value";
    return "unknown option --" + name;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv, const std::vector<OptionSpec>& specs) {
    std::vector<option> longOptions;
    std::string shortOptions = ":h";  // leading ':' tells a missing value from an unknown option
    for (size_t i = 0; i < specs.size(); ++i) {
        const OptionSpec& s = specs[i];
        const int code = s.shortName != 0 ? s.shortName : kLongOnlyBase + static_cast<int>(i);
        if (!s.longName.empty())
            longOptions.push_back(
                {s.longName.c_str(), s.takesValue ? required_argument : no_argument, nullptr, code});
        if (s.shortName != 0) shortOptions += std::string(1, s.shortName) + (s.takesValue ? ":" : "");
    }
    longOptions.push_back({"help", no_argument, nullptr, kHelpCode});
    longOptions.push_back({"version", no_argument, nullptr, kVersionCode});
    longOptions.push_back({nullptr, 0, nullptr, 0});

    CommandLine line;
    opterr = 0;
    optind = 0;  // 0 makes glibc start afresh, also when called more than once
    int code = 0;
    while (line.error.empty() &&
           (code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1) {
        const std::string written = argv[optind - 1] != nullptr ? argv[optind - 1] : "";
        if (code == '?') {
            line.error = unknownOption(written, longOptions);
        } else if (code == ':') {
            line.error = "option " + written + " needs a value";
        } else if (code == kHelpCode) {
            line.help = true;
            return line;
        } else if (code == kVersionCode) {
            line.version = true;
            return line;
        } else {
            for (size_t i = 0; i < specs.size(); ++i) {
                const OptionSpec& s = specs[i];
                if (code != (s.shortName != 0 ? s.shortName : kLongOnlyBase + static_cast<int>(i))) continue;
                line.options.emplace_back(nameOf(s), s.takesValue && optarg != nullptr ? optarg : "");
            }
        }
    }
    if (!line.error.empty()) return line;
    for (int i = optind; i < argc; ++i) line.operands.emplace_back(argv[i]);
    return line;
}

std::optional<double> parseNumber(const std::string& text, double low, double high) {
    double v = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, v);
    if (error != std::errc() || stop != end || !std::isfinite(v) || v < low || v > high) return std::nullopt;
    return v;
}

std::optional<long long> parseWholeNumber(const std::string& text, long long low, long long high) {
    long long v = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, v);
    if (error != std::errc() || stop != end || v < low || v > high) return std::nullopt;
    return v;
}

std::vector<OptionSpec> withCheckOptions(std::vector<OptionSpec> specs) {
    specs.push_back(kCheckOptions);
    return specs;
}

std::optional<int> checkedOnly(const CommandLine& line) {
    const std::string checkName = kCheckOptions.longName;
    bool asked = false;
    for (const auto& [name, value] : line.options) asked = asked || name == checkName;
    if (!asked) return std::nullopt;
    for (const auto& [name, value] : line.options)
        if (name != checkName) std::cout << name << "\t" << value << "\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int usageError(const std::string& message) {
    std::cout.flush();
    std::cerr << "ERROR: " << message << std::endl;
    return kUsageStatus;
}

int printVersion(const std::string& program) {
    std::cout << program << " (KARVEL) " << KARVEL_VERSION << std::endl;
    return 0;
}

void ignoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

std::optional<int> settleStandardOptions(const CommandLine& line, const std::string& program,
                                         void (*printUsage)(std::ostream&)) {
    if (!line.error.empty()) return usageError(line.error);
    if (line.help) {
        printUsage(std::cout);
        return 0;
    }
    if (line.version) return printVersion(program);
    return std::nullopt;
}

}  // namespace toolCli
