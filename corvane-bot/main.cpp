// corvane-bot: simulated players against a game host, for load and latency.
#include "BotOptions.h"
#include "BotRun.h"
#include "FleetPlayer.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <thread>

#include <unistd.h>

namespace {

bool WriteFile(const std::string& path, void (*writer)(std::ostream&, const CBotResult&), const CBotResult& result)
{
    std::ofstream file(path);
    writer(file, result);
    file.close();
    if (!file) {
        std::cerr << "corvane-bot: cannot write " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    CBotOptions options;
    // Half the cores: the server usually runs on the same machine, and on
    // two cores one I/O thread woken for many sockets at once costs less
    // CPU per frame than two.
    options.threads = std::clamp(std::thread::hardware_concurrency() / 2, 1u, 8u);
    std::string mix = "move=90,attack=5,area=3,talk=2";

    CLI::App app{"corvane-bot: simulated players against corvane-host (or any server of the same game).\n"
                 "Each player connects, logs in, enters the scene, then acts at --rate actions a second\n"
                 "for --duration seconds. A move counts as answered by the first PoseList that shows the\n"
                 "player on its new cell, an attack by its AttackNotify. Exit code 0 when every player\n"
                 "entered and stayed and everything was answered; 1 otherwise; 2 on bad arguments or\n"
                 "when the server cannot be reached."};
    app.add_option("--url", options.url, "game endpoint, ws://HOST:PORT/PATH")->capture_default_str();
    app.add_option("--users", options.users, "players to simulate")->capture_default_str();
    app.add_option("--rate", options.rate, "actions per second per player")->capture_default_str()->check(CLI::Range(0.0, 1000.0));
    app.add_option("--duration", options.duration, "seconds of load once everyone has entered")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--mix", mix, "relative weights of the actions: moves to random cells, single-target attacks on "
                                 "an object seen on the grid, area attacks, chat lines")
        ->capture_default_str();
    app.add_option("--ramp", options.ramp, "seconds over which the players connect")->capture_default_str()->check(CLI::Range(0.0, 3600.0));
    app.add_option("--seed", options.seed, "seed of the random choices")->capture_default_str();
    app.add_option("--token", options.token, "login token (empty by default)");
    app.add_option("--json", options.jsonFile, "write the result as one JSON object to this file");
    app.add_option("--report", options.reportFile, "write a self-contained HTML report (charts as inline SVG)");
    app.add_option("--threads", options.threads, "I/O threads; players are spread over them (default: half the cores)")
        ->capture_default_str()
        ->check(CLI::Range(1u, 64u));
    app.add_option("--idle", options.idle, "extra connections that complete the WebSocket handshake and never log "
                                           "in (for the server's memory per connection)")
        ->capture_default_str();
    app.add_option("--server-pid", options.serverPid, "server process to watch: its CPU during the load and its "
                                                      "resident memory, read from /proc (same machine only)");
    app.add_option("--drain", options.drain, "seconds to wait after the load for answers still on their way")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 600.0));
    app.add_flag("--quiet", options.quiet, "no status line, only the summary");
    app.add_flag("--deflate", options.deflate,
                 "offer permessage-deflate and inflate what the server compresses (zlib), as a browser does");
    app.add_option("--decode-sample", options.decodeSample,
                   "only this many players decode (inflate and parse) what they receive and have their moves and "
                   "attacks checked; the others, once entered, skip every data message unread and only send "
                   "(default: all decode)")
        ->check(CLI::Range(1u, 1'000'000u));
    app.add_option("--chaos", options.chaos,
                   "connections to cut a second during the load, at random (never player 0, the control): the "
                   "socket is closed without a close frame and the player reconnects at once and resumes; the "
                   "frames each resumed player received are compared with the control's")
        ->check(CLI::Range(0.0, 10000.0));
    app.add_option("--silence", options.silence,
                   "give a connection up after this many seconds without a byte from the server and resume on a new "
                   "one (0: never)")
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--control-url", options.controlUrl,
                   "where the control player connects, ws://HOST:PORT/PATH (default: --url), e.g. by a path that "
                   "is not cut");
    app.add_option("--matchmake", options.matchmake,
                   "fleet mode: each player gets its seat from POST /matchmake on these hosts (http://HOST:PORT, "
                   "comma-separated; the next is asked when one fails), logs in at the world it names, moves at "
                   "--rate, and on a drain's close or LoginAck 5 (or any error) matchmakes again. Reports the "
                   "players moved and the longest gap from an error to play again; --url, --mix and the load "
                   "flags are not used")
        ->delimiter(',');
    CLI11_PARSE(app, argc, argv);

    std::string error;
    const auto parsedMix = ParseMix(mix, error);
    if (!parsedMix) {
        std::cerr << "corvane-bot: --mix: " << error << "\n";
        return 2;
    }
    options.mix = *parsedMix;
    if (!options.matchmake.empty()) {
        for (const std::string& host : options.matchmake) {
            if (!ParseHttpUrl(host, error)) {
                std::cerr << "corvane-bot: --matchmake " << host << ": " << error << "\n";
                return 2;
            }
        }
        const CFleetResult fleet = RunFleet(options, std::cout);
        WriteFleetSummary(std::cout, fleet);
        if (!options.jsonFile.empty()) {
            std::ofstream file(options.jsonFile);
            WriteFleetJson(file, fleet);
            if (!file.flush()) {
                std::cerr << "corvane-bot: cannot write " << options.jsonFile << "\n";
                return 2;
            }
        }
        return fleet.Failed() ? 1 : 0;
    }
    const auto url = ParseWsUrl(options.url, error);
    if (!url) {
        std::cerr << "corvane-bot: --url: " << error << "\n";
        return 2;
    }
    options.endpoint = *url;
    if (options.controlUrl.empty()) {
        options.controlUrl = options.url;
    }
    const auto controlUrl = ParseWsUrl(options.controlUrl, error);
    if (!controlUrl) {
        std::cerr << "corvane-bot: --control-url: " << error << "\n";
        return 2;
    }
    options.controlEndpoint = *controlUrl;
    if (options.Resumes() && options.users < 2) {
        std::cerr << "corvane-bot: --chaos and --silence need at least 2 players: player 0 is the control\n";
        return 2;
    }

    CBotResult result;
    try {
        result = RunBot(options, std::cout, isatty(STDOUT_FILENO) != 0);
    } catch (const CBotSetupError& e) {
        std::cerr << "corvane-bot: " << e.what() << "\n";
        return 2;
    }
    WriteSummary(std::cout, result);
    bool written = true;
    if (!options.jsonFile.empty()) {
        written = WriteFile(options.jsonFile, WriteJson, result) && written;
    }
    if (!options.reportFile.empty()) {
        written = WriteFile(options.reportFile, WriteHtml, result) && written;
    }
    if (!written) {
        return 2;
    }
    return result.Failed() ? 1 : 0;
}
