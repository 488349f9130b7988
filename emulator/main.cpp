// vorn-emulator: a local stand-in for the hosted service, for development and tests.

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "vorn_emulator/ErrorCodes.h"
#include "vorn_emulator/Server.h"
#include "vorn_emulator/Storage.h"

namespace {

using vorn::emulator::Options;

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "vorn-emulator: " << message << "\n(see vorn-emulator --help)\n";
    std::exit(2);  // NOLINT(concurrency-mt-unsafe): before any thread starts
}

long long seconds(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

// Whole seconds from 1 to 9999, or a usage error naming the option.
std::chrono::seconds parseSeconds(const std::string& option, const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(text) == 0) {
        usageError("invalid " + option + " \"" + text + "\" (whole seconds, 1 to 9999)");
    }
    return std::chrono::seconds(std::stol(text));
}

void printUsage(std::ostream& out) {
    const Options defaults;
    out << "usage: vorn-emulator [options]\n"
           "\n"
           "Serves the service API over HTTP on a loopback address.\n"
           "\n"
           "options:\n"
           "  --port N        port to listen on (default "
        << defaults.port
        << "; 0 picks a free port)\n"
           "  --address ADDR  loopback address to bind (default "
        << defaults.address
        << ")\n"
           "  --app-key KEY   accept only this application key (default: any key)\n"
           "  --data DIR      data folder (default "
        << defaults.dataDir
        << ")\n"
           "  --memory        keep everything in memory, write nothing to disk\n"
           "  --verbose       log one line per request to stderr\n"
           "  --absolute-file-urls\n"
           "                  file replies carry http://HOST:PORT/files/... instead of files/...\n"
           "  --upload-session-idle SECONDS\n"
           "                  unfinished sharded uploads expire after this idle time (default 600)\n"
           "  --fault PATH=MODE[:ARG][xCOUNT]\n"
           "                  make the next COUNT (default 1, 0: all) requests of PATH fail; MODE is\n"
           "                  drop (close, not handled), drop-after (handled, then closed unanswered),\n"
           "                  garbage (HTTP 200, not JSON), error[:CODE] (envelope error, default 150)\n"
           "                  or delay:MS (handled, answered MS later); repeatable\n"
           "                  e.g. --fault /7/mkfile/next=drop-afterx2 --fault /7/files=error:1\n"
           "  --functions DIR cloud functions: every executable file in DIR is a function of its name\n"
           "                  (letters, digits, _ and -), run with the parameters as JSON on stdin;\n"
           "                  built in: echo, hello, fail (a file of the same name wins)\n"
           "  --function-timeout SECONDS\n"
           "                  a function running longer is killed with its process group (default 10)\n"
           "  --read-timeout SECONDS\n"
           "                  a request (header and body) must arrive within this time, counted from the\n"
           "                  accept or, on a kept-alive connection, from its first byte; then the\n"
           "                  connection is closed (408 when part of it came) (default "
        << seconds(defaults.readTimeout)
        << ")\n"
           "  --idle-timeout SECONDS\n"
           "                  a kept-alive connection without a new request is closed after this time\n"
           "                  (default "
        << seconds(defaults.idleTimeout)
        << ")\n"
           "  --max-connections N\n"
           "                  open connections at most; more are accepted and closed at once (default "
        << defaults.maxConnections
        << ")\n"
           "  --help          show this help\n"
           "\n"
           "On start it prints one line to stdout:\n"
           "  vorn-emulator listening on ADDRESS:PORT\n"
           "and it stops cleanly on SIGINT or SIGTERM.\n"
           "\n"
           "service error codes:\n";
    for (const auto& info : vorn::emulator::kErrorCodes) {
        std::string code = std::to_string(vorn::emulator::toInt(info.code));
        std::string name(info.name);
        code.resize(6, ' ');
        name.resize(27, ' ');
        out << "  " << code << name << info.message << '\n';
    }
}

std::optional<unsigned short> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    return static_cast<unsigned short>(value);
}

Options parseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.starts_with("--")) {
            if (auto eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        auto flag = [&] {
            if (inlineValue) usageError(arg + " takes no value");
        };

        if (arg == "--help" || arg == "-h") {
            printUsage(std::cout);
            std::exit(0);  // NOLINT(concurrency-mt-unsafe): before any thread starts
        } else if (arg == "--port") {
            const std::string text = value();
            auto port = parsePort(text);
            if (!port) usageError("invalid port \"" + text + "\"");
            options.port = *port;
        } else if (arg == "--address") {
            options.address = value();
        } else if (arg == "--app-key") {
            options.appKey = value();
        } else if (arg == "--data") {
            options.dataDir = value();
            if (options.dataDir.empty()) usageError("--data needs a folder");
        } else if (arg == "--memory") {
            flag();
            options.memory = true;
        } else if (arg == "--verbose") {
            flag();
            options.verbose = true;
        } else if (arg == "--absolute-file-urls") {
            flag();
            options.absoluteFileUrls = true;
        } else if (arg == "--upload-session-idle") {
            const std::string text = value();
            if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
                usageError("invalid --upload-session-idle \"" + text + "\" (whole seconds, at most 999999)");
            }
            options.uploadSessionIdleTime = std::chrono::seconds(std::stol(text));
        } else if (arg == "--functions") {
            options.functionsDir = value();
        } else if (arg == "--function-timeout") {
            options.functionTimeout = parseSeconds(arg, value());
        } else if (arg == "--read-timeout") {
            options.readTimeout = parseSeconds(arg, value());
        } else if (arg == "--idle-timeout") {
            options.idleTimeout = parseSeconds(arg, value());
        } else if (arg == "--max-connections") {
            const std::string text = value();
            if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::stol(text) == 0) {
                usageError("invalid --max-connections \"" + text + "\" (1 to 99999)");
            }
            options.maxConnections = static_cast<std::size_t>(std::stol(text));
        } else if (arg == "--fault") {
            const std::string text = value();
            try {
                options.faults.push_back(vorn::emulator::Fault::parse(text));
            } catch (const std::invalid_argument& e) {
                usageError("invalid --fault \"" + text + "\": " + e.what());
            }
        } else {
            usageError("unknown option \"" + arg + "\"");
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseArguments(argc, argv);
    try {
        vorn::emulator::Server server(options);

        boost::asio::signal_set signals(server.ioContext(), SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (!ec) server.stop();
        });

        server.run([&](unsigned short port) {
            std::string host = options.address == "localhost" ? "127.0.0.1" : options.address;
            if (host.find(':') != std::string::npos) host = "[" + host + "]";
            std::cout << "vorn-emulator listening on " << host << ":" << port << std::endl;
            if (options.verbose) {
                std::cerr << "vorn-emulator: "
                          << (options.memory ? std::string("in-memory data") : "data in " + options.dataDir)
                          << ", schema version " << server.storage().schemaVersion()
                          << (options.appKey.empty() ? ", any app key" : ", app key required") << std::endl;
            }
        });
    } catch (const std::invalid_argument& e) {
        std::cerr << "vorn-emulator: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vorn-emulator: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
