#include "tools/sim/ground_truth.h"

#include <cstdio>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>
#include <sstream>

#include "map/atomic_file.h"
#include "traces/input_file.h"

using mapRepresentation::AtomicFile;

namespace traceSim {

namespace {

// Counts above this are taken as corruption, not as a trace: nothing is reserved for them.
constexpr long long kMaxCount = 100000000;

std::string coordinate(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.9f", v);
    return buf;
}

// Reads whitespace-separated words, skipping comment lines.
class Words {
public:
    explicit Words(std::istream& in) : in(in) {}
    bool next(std::string& word) {
        while (true) {
            if (line >> word) return true;
            std::string text;
            if (!std::getline(in, text)) return false;
            const size_t first = text.find_first_not_of(" \t\r");
            if (first != std::string::npos && text[first] == '#') text.clear();
            line.clear();
            line.str(text);
        }
    }
    bool nextInteger(long long& v) {
        std::string word;
        if (!next(word)) return false;
        return parseInteger(word, v);
    }
    bool nextDouble(double& v) {
        std::string word;
        if (!next(word)) return false;
        std::istringstream s(word);
        s >> v;
        return !s.fail() && s.peek() == std::char_traits<char>::eof();
    }
    static bool parseInteger(const std::string& word, long long& v) {
        std::istringstream s(word);
        s >> v;
        return !s.fail() && s.peek() == std::char_traits<char>::eof();
    }

private:
    std::istream& in;
    std::istringstream line;
};

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

}  // namespace

void writeGroundTruth(std::ostream& out, const GroundTruth& t) {
    out << "# karvel ground truth: the links driven in order, then the true link of every trace point\n";
    out << "trace " << t.name << "\n";
    out << "points " << t.points << "\n";
    out << "route " << t.route.size() << "\n";
    for (size_t i = 0; i < t.route.size(); ++i)
        out << t.route[i] << ((i % 20 == 19 || i + 1 == t.route.size()) ? "\n" : " ");
    if (!t.fixes.empty()) {
        out << "fixes " << t.fixes.size() << "\n";
        for (size_t i = 0; i < t.fixes.size(); ++i) {
            const FixTruth& f = t.fixes[i];
            out << i << " " << f.link << " " << coordinate(f.lat) << " " << coordinate(f.lon) << " "
                << (f.outlier ? 1 : 0) << "\n";
        }
    }
}

bool saveGroundTruth(const std::string& path, const GroundTruth& truth, std::string& error) {
    AtomicFile out(path);
    writeGroundTruth(out.stream(), truth);
    if (!out.commit()) return fail(error, "cannot write " + path);
    return true;
}

bool readGroundTruth(std::istream& in, GroundTruth& truth, std::string& error) {
    truth = GroundTruth{};
    Words words(in);
    std::string key;
    bool havePoints = false, haveRoute = false;
    while (words.next(key)) {
        if (key == "trace") {
            if (!words.next(truth.name)) return fail(error, "trace without a name");
        } else if (key == "points") {
            long long n = 0;
            if (!words.nextInteger(n) || n < 0 || n > kMaxCount) return fail(error, "bad point count");
            truth.points = static_cast<int>(n);
            havePoints = true;
        } else if (key == "route") {
            long long n = 0;
            if (!words.nextInteger(n) || n < 0 || n > kMaxCount) return fail(error, "bad route length");
            for (long long i = 0; i < n; ++i) {
                long long link = 0;
                if (!words.nextInteger(link) || link < std::numeric_limits<int>::min() ||
                    link > std::numeric_limits<int>::max())
                    return fail(error,
                                "route holds fewer links than announced or a link that is not a number");
                truth.route.push_back(static_cast<int>(link));
            }
            haveRoute = true;
        } else if (key == "fixes") {
            long long n = 0;
            if (!words.nextInteger(n) || n < 0 || n > kMaxCount) return fail(error, "bad fix count");
            for (long long i = 0; i < n; ++i) {
                long long index = 0, link = 0, outlier = 0;
                FixTruth f;
                if (!words.nextInteger(index) || !words.nextInteger(link) || !words.nextDouble(f.lat) ||
                    !words.nextDouble(f.lon) || !words.nextInteger(outlier))
                    return fail(error, "fix " + std::to_string(i) + " is incomplete");
                if (index != i) return fail(error, "fix " + std::to_string(i) + " is out of order");
                if (link < std::numeric_limits<int>::min() || link > std::numeric_limits<int>::max())
                    return fail(error, "fix " + std::to_string(i) + " has a bad link");
                f.link = static_cast<int>(link);
                f.outlier = outlier != 0;
                truth.fixes.push_back(f);
            }
        } else {
            return fail(error, "unexpected word '" + key + "'");
        }
    }
    if (!havePoints || !haveRoute) return fail(error, "the points or the route are missing");
    if (!truth.fixes.empty() && static_cast<int>(truth.fixes.size()) != truth.points)
        return fail(error, "the fix count differs from the point count");
    return true;
}

bool loadGroundTruth(const std::string& path, GroundTruth& truth, std::string& error) {
    if (const std::string why = inputFile::unreadable(path); !why.empty())
        return fail(error, "cannot read " + path + ": " + why);
    std::ifstream in(path);
    if (!in) return fail(error, "cannot read " + path);
    if (!readGroundTruth(in, truth, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace traceSim
