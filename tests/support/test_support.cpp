#include "test_support.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace karvel_test {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "karvel-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

WorkDir::WorkDir(bool withData) : previous(fs::current_path()) {
    if (withData) fs::create_directory(dir.path() / "data");
    fs::current_path(dir.path());
}

WorkDir::~WorkDir() {
    fs::current_path(previous);
}

CommandResult runCommand(const std::string& commandLine, const std::string& workDir) {
    CommandResult result;
    std::string full = "cd '" + workDir + "' && " + commandLine;
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 65536> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) result.out.append(buf.data(), n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string binaryPath(const std::string& program) {
    return std::string(KARVEL_BIN_DIR) + "/" + program;
}

void writeFile(const std::string& path, const std::string& content) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string sharedData(const std::string& rel) {
    fs::path p = fs::path(KARVEL_SHARED_DATA) / rel;
    std::error_code ec;
    if (!fs::exists(p, ec)) return "";
    return fs::weakly_canonical(p, ec).string();
}

std::string testFile(const std::string& rel) {
    return (fs::path(KARVEL_TESTS_DIR) / rel).string();
}

}  // namespace karvel_test
