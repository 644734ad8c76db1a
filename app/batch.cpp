#include "app/batch.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/report.h"
#include "traces/NMEALoader.h"

using matchApp::TraceMatch;
using matchApp::TraceMatcher;

Route matchApp::loadNmeaRoute(const std::string& file, std::ostream& log) {
    NMEALoader loader(file, log);
    return std::move(loader.route);
}

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : ", ") + w;
    return out;
}

// Why the loader made no point of its file: the sentences a point needs that it did not find.
std::string whyNoPoint(const NMEALoader& loader) {
    if (!std::ifstream(loader.filename).is_open()) return "the file cannot be read";
    if (!loader.rmcSeen)
        return std::string("it has no RMC sentence with a time, a date and a position") +
               (loader.ggaSeen ? " (GGA sentences carry no date)" : "");
    std::vector<std::string> lacking;
    const auto lacks = [&](bool (*missing)(const TagSet&), const char* name) {
        if (std::any_of(loader.tagSets.begin(), loader.tagSets.end(), missing)) lacking.push_back(name);
    };
    lacks([](const TagSet& s) { return !s.rmcComplete(); }, "RMC");
    lacks([](const TagSet& s) { return !s.ggaComplete(); }, "GGA");
    lacks([](const TagSet& s) { return !s.gsaPresent(); }, "GSA");
    return "every epoch lacks a sentence the file has elsewhere (" + joined(lacking) + ")";
}

}  // namespace

Route matchApp::loadNmeaRouteOrSay(const std::string& file, std::ostream& log, bool& failed) {
    NMEALoader loader(file, log);
    if (loader.route.nodes.empty()) {
        log << "ERROR: no point loaded from " << file << ": " << whyNoPoint(loader) << ".\n";
        failed = true;
    }
    return std::move(loader.route);
}

namespace {

// One line on standard error, rewritten in place, and only on a terminal: the trace at hand and the
// fixes per second so far. It is cleared at the end, so nothing of it stays between other output.
class Progress {
public:
    explicit Progress(bool wanted)
        : enabled(wanted && isatty(STDERR_FILENO) == 1), start(std::chrono::steady_clock::now()) {}
    // Trace `index` of `total` with `points` fixes starts (done false) or is finished (done true).
    void show(size_t index, size_t total, const std::string& name, size_t points, bool done) {
        if (!enabled) return;
        if (done) fixes += points;
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::cerr << "\r\033[K[" << index + 1 << "/" << total << "] " << name << " (" << points << " fixes)";
        if (fixes > 0 && seconds.count() > 0)
            std::cerr << ", " << static_cast<long>(static_cast<double>(fixes) / seconds.count())
                      << " fixes/s";
        if (done && index + 1 == total) std::cerr << "\r\033[K";
        std::cerr << std::flush;
    }

private:
    bool enabled;
    std::chrono::steady_clock::time_point start;
    size_t fixes = 0;
};

// A matched trace whose block waits to be printed.
struct Finished {
    std::string block;
    std::string name;
    size_t points = 0;
    Route route;
    TraceMatch result;
};

// One trace's whole block: loader messages, header, matcher messages, result.
Finished matchOne(size_t index, const std::string& file, const TraceMatcher& matcher, std::ostream& out,
                  Progress* progress, size_t total) {
    Finished f;
    f.route = matcher.load(file, out);
    if (matcher.frame != nullptr) traces::useFrame(f.route, *matcher.frame);
    f.name = f.route.name;
    f.points = f.route.nodes.size();
    matchApp::printRouteHeader(index, f.route.name, out);
    if (progress) progress->show(index, total, f.name, f.points, false);
    f.result = matcher.match(f.route, out);
    matchApp::printMatchResult(f.result.paths, f.result.unmatched, out, f.result.routes);
    if (progress) progress->show(index, total, f.name, f.points, true);
    return f;
}

void handOver(const TraceMatcher& matcher, const Finished& f) {
    if (matcher.finished) matcher.finished(f.route, f.result);
}

// Workers take the next trace from a shared counter; the calling thread prints finished blocks in
// list order, so at most the blocks that finished ahead of a slow trace wait in memory.
void runThreaded(const std::vector<std::string>& files, const TraceMatcher& matcher, unsigned jobs,
                 std::ostream& out) {
    // Shown by this thread as blocks come out in order: several threads at once would garble it.
    Progress progress(matcher.progress);
    std::vector<Finished> blocks(files.size());
    std::vector<char> done(files.size(), 0);
    std::mutex lock;
    std::condition_variable finished;
    std::atomic<size_t> next{0};

    auto work = [&] {
        for (size_t i = next++; i < files.size(); i = next++) {
            std::ostringstream block;
            Finished f = matchOne(i, files[i], matcher, block, nullptr, files.size());
            f.block = std::move(block).str();
            // Without a consumer the route and result need not wait in memory.
            if (!matcher.finished) f = Finished{std::move(f.block), std::move(f.name), f.points, {}, {}};
            const std::lock_guard<std::mutex> guard(lock);
            blocks[i] = std::move(f);
            done[i] = 1;
            finished.notify_one();
        }
    };
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < jobs; ++t) workers.emplace_back(work);

    for (size_t i = 0; i < files.size(); ++i) {
        Finished f;
        {
            std::unique_lock<std::mutex> guard(lock);
            finished.wait(guard, [&] { return done[i] != 0; });
            f = std::move(blocks[i]);
        }
        out << f.block;
        progress.show(i, files.size(), f.name, f.points, true);
        handOver(matcher, f);
    }
}

}  // namespace

void matchApp::runBatch(const std::vector<std::string>& files, const TraceMatcher& matcher, unsigned jobs,
                        std::ostream& out) {
    if (jobs > 1 && files.size() > 1) {
        runThreaded(files, matcher, std::min<size_t>(jobs, files.size()), out);
        return;
    }
    Progress progress(matcher.progress);
    for (size_t i = 0; i < files.size(); ++i)
        handOver(matcher, matchOne(i, files[i], matcher, out, &progress, files.size()));
}
