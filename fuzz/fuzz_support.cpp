#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <vector>

namespace karvel_fuzz {

namespace {

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

const std::string& scratchDir() {
    // Never destroyed: the exit handler below still needs the name.
    static const std::string& dir = *new std::string([] {
        // scripts/fuzz.sh names a folder of its own, which it removes after a crash too.
        const char* given = std::getenv("KARVEL_FUZZ_TMP");
        std::string base = given != nullptr && *given != '\0' ? given : "";
        if (base.empty()) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/karvel-fuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) fail("cannot create a scratch folder under " + base);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchDir(), ec);
        });
        return tmpl;
    }());
    return dir;
}

void writeFile(const std::string& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) fail("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void quietConsole() {
    if (std::getenv("KARVEL_FUZZ_VERBOSE") != nullptr) return;
    static NullBuffer sink;
    std::cout.rdbuf(&sink);
}

void absolutePathArguments(int argc, char** argv) {
    static const char* const kPathFlags[] = {
        "-artifact_prefix=",    "-exact_artifact_path=", "-dict=",
        "-merge_control_file=", "-features_dir=",        "-mutation_graph_file="};
    const std::string here = std::filesystem::current_path().string() + "/";
    // The rewritten strings live as long as the process, as libFuzzer expects of argv.
    static std::vector<std::string>& kept = *new std::vector<std::string>();
    kept.reserve(static_cast<size_t>(argc));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string rewritten;
        if (!arg.empty() && arg[0] != '-') {
            if (arg[0] != '/') rewritten = here + arg;
        } else {
            for (const char* flag : kPathFlags) {
                const std::string f = flag;
                if (arg.rfind(f, 0) == 0 && arg.size() > f.size() && arg[f.size()] != '/')
                    rewritten = f + here + arg.substr(f.size());
            }
        }
        if (rewritten.empty()) continue;
        kept.push_back(rewritten);
        argv[i] = kept.back().data();
    }
}

void fail(const std::string& what) {
    std::fprintf(stderr, "karvel fuzz check failed: %s\n", what.c_str());
    // abort() skips the exit handlers; the input itself is kept by libFuzzer.
    std::error_code ec;
    std::filesystem::remove_all(scratchDir(), ec);
    std::abort();
}

}  // namespace karvel_fuzz
