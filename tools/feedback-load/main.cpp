// feedback-load-client: the load client of tools/bench/feedback_pairs.sh. Runs recognition +
// feedback pairs against the Agent or the camera simulator over HTTP, or the same store work
// directly on a copy of the Agent's database, and prints one line of key=value figures.
#include <Poco/Exception.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "pair_load.h"
#include "store_floor.h"

using namespace korvane::FeedbackLoad;

namespace {

constexpr const char* kUsage =
    "usage: feedback-load-client agent|camera --port N [--host H] [--pairs N] [--clients N]\n"
    "                     [--new-connections]\n"
    "       feedback-load-client floor --db FILE [--pairs N] [--journal MODE] [--synchronous "
    "LEVEL]\n"
    "                     [--candidates ID,ID,...]\n"
    "\n"
    "agent   GET /api/get_result + POST /api/result_feedback per pair, --clients at once\n"
    "camera  the camera requests the Agent makes for such a pair: get_result, result_feedback,\n"
    "        get_image (each on a new connection with --new-connections, as the Agent does)\n"
    "floor   the Agent's store statements for each pair, in its two transactions, straight\n"
    "        on FILE (a copy of service.db) with SQLite, one pair after the other\n"
    "\n"
    "Prints one line of key=value figures (times in ms); errors go to stderr.\n";

[[noreturn]] void usage(const std::string& problem = "") {
    if (!problem.empty()) std::cerr << "feedback-load-client: " << problem << "\n";
    std::cerr << kUsage;
    std::exit(64);
}

int positive(const std::string& name, const std::string& text) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size() && value > 0) return value;
    } catch (...) {
    }
    usage(name + " needs a positive whole number, got '" + text + "'");
}

std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage();
    const std::string mode = argv[1];
    if (mode == "-h" || mode == "--help") usage();
    if (mode != "agent" && mode != "camera" && mode != "floor")
        usage("unknown mode '" + mode + "'");

    std::map<std::string, std::string> values;
    bool newConnections = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--new-connections") {
            newConnections = true;
        } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
            values[arg.substr(2)] = argv[++i];
        } else {
            usage("unexpected argument '" + arg + "'");
        }
    }
    auto take = [&](const std::string& name, const std::string& fallback) {
        auto found = values.find(name);
        if (found == values.end()) return fallback;
        std::string value = found->second;
        values.erase(found);
        return value;
    };
    const int pairs = positive("--pairs", take("pairs", "1000"));

    if (mode == "floor") {
        StoreFloor::Options options;
        options.database = take("db", "");
        if (options.database.empty()) usage("floor needs --db");
        options.pairs = pairs;
        options.journalMode = take("journal", "");
        options.synchronous = take("synchronous", "");
        const std::string candidates = take("candidates", "");
        if (!candidates.empty()) {
            options.candidates.clear();
            std::istringstream list(candidates);
            for (std::string id; std::getline(list, id, ',');) options.candidates.push_back(id);
            if (options.candidates.size() > 5) usage("at most five candidates");
        }
        if (!values.empty()) usage("unknown option --" + values.begin()->first);
        try {
            StoreFloor floor(options);
            const auto r = floor.run();
            std::cout << "pairs=" << r.pairs << " errors=0 seconds=" << figure(r.seconds)
                      << " pairs_per_s=" << figure(r.pairs / r.seconds)
                      << " journal_mode=" << r.journalMode << " synchronous=" << r.synchronous
                      << " result_p50_ms=" << figure(r.prediction.percentileMs(50))
                      << " result_p99_ms=" << figure(r.prediction.percentileMs(99))
                      << " feedback_p50_ms=" << figure(r.feedback.percentileMs(50))
                      << " feedback_p95_ms=" << figure(r.feedback.percentileMs(95))
                      << " feedback_p99_ms=" << figure(r.feedback.percentileMs(99))
                      << " pair_p50_ms=" << figure(r.pair.percentileMs(50))
                      << " pair_p99_ms=" << figure(r.pair.percentileMs(99)) << std::endl;
            return 0;
        } catch (const std::exception& e) {
            std::cerr << "feedback-load-client: " << e.what() << "\n";
            return 1;
        }
    }

    PairLoad::Options options;
    options.target = mode == "agent" ? PairLoad::Target::Agent : PairLoad::Target::Camera;
    options.host = take("host", "127.0.0.1");
    const int port = positive("--port", take("port", "0"));
    if (port > 65535) usage("--port out of range");
    options.port = static_cast<std::uint16_t>(port);
    options.pairs = pairs;
    options.clients = positive("--clients", take("clients", "1"));
    options.keepAlive = !newConnections;
    if (!values.empty()) usage("unknown option --" + values.begin()->first);

    const auto r = PairLoad(options).run();
    std::cout << "pairs=" << r.pairs << " errors=" << r.errors << " seconds=" << figure(r.seconds)
              << " pairs_per_s=" << figure(r.seconds > 0 ? r.pairs / r.seconds : 0.0)
              << " result_p50_ms=" << figure(r.getResult.percentileMs(50))
              << " result_p95_ms=" << figure(r.getResult.percentileMs(95))
              << " result_p99_ms=" << figure(r.getResult.percentileMs(99))
              << " feedback_p50_ms=" << figure(r.feedback.percentileMs(50))
              << " feedback_p95_ms=" << figure(r.feedback.percentileMs(95))
              << " feedback_p99_ms=" << figure(r.feedback.percentileMs(99))
              << " pair_p50_ms=" << figure(r.pair.percentileMs(50))
              << " pair_p99_ms=" << figure(r.pair.percentileMs(99)) << std::endl;
    if (r.errors > 0) std::cerr << "feedback-load-client: first error: " << r.firstError << "\n";
    return r.pairs > 0 ? 0 : 1;
}
