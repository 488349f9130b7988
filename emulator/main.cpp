// vorn-emulator: a local stand-in for the hosted service, for development and tests.

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "vorn_emulator/ErrorCodes.h"
#include "vorn_emulator/Server.h"
#include "vorn_emulator/Storage.h"
#include "vorn_emulator/Tls.h"

namespace {

using vorn::emulator::Options;
using vorn::emulator::RealtimeOptions;

// A private folder for the self-signed identity of an in-memory emulator,
// removed at exit.
class TemporaryFolder {
public:
    TemporaryFolder() = default;
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    // Throws std::runtime_error when the folder cannot be made.
    const std::filesystem::path& make() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorn-emulator-tls-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder in " + pattern);
        path_ = pattern;
        return path_;
    }

private:
    std::filesystem::path path_;
};

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

// Seconds from 0.001 to 9999.999, with up to three decimals, or a usage error naming the option.
std::chrono::milliseconds parseFractionalSeconds(const std::string& option, const std::string& text) {
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    const bool digits = whole.find_first_not_of("0123456789") == std::string::npos &&
                        fraction.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || whole.empty() || whole.size() > 4 || (dot != std::string::npos && fraction.empty()) ||
        fraction.size() > 3) {
        usageError("invalid " + option + " \"" + text + "\" (seconds, e.g. 20 or 0.5, below 10000)");
    }
    std::string millis = fraction;
    millis.resize(3, '0');
    const long long value = std::stoll(whole) * 1000 + std::stoll(millis);
    if (value == 0) usageError("invalid " + option + " \"" + text + "\" (must be more than 0)");
    return std::chrono::milliseconds(value);
}

// "25", "0.5".
std::string secondsText(std::chrono::milliseconds duration) {
    std::string text = std::to_string(duration.count() / 1000);
    if (duration.count() % 1000 == 0) return text;
    std::string fraction = std::to_string(1000 + duration.count() % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    return text + "." + fraction;
}

std::vector<std::string> parseTransports(const std::string& text) {
    std::vector<std::string> transports;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        const std::string name = text.substr(at, comma - at);
        if (name != "websocket" && name != "xhr-polling") {
            usageError("invalid --transports \"" + text + "\" (websocket and/or xhr-polling, comma-separated)");
        }
        if (std::find(transports.begin(), transports.end(), name) != transports.end()) {
            std::string message = "invalid --transports \"" + text + "\": ";
            message += name;
            message += " is listed twice";
            usageError(message);
        }
        transports.push_back(name);
        at = comma + 1;
    }
    return transports;
}

void printUsage(std::ostream& out) {
    const Options defaults;
    const RealtimeOptions realtime;
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
           "  --object-cache-mb N\n"
           "                  parsed objects kept between finds, in MiB at most (estimated); 0 keeps\n"
           "                  none (default "
        << defaults.objectCacheBytes / (std::size_t{1024} * 1024)
        << ")\n"
           "  --tls-cert FILE --tls-key FILE\n"
           "                  serve TLS (https, wss) on the HTTP port and the realtime port with this\n"
           "                  PEM certificate chain and PEM private key\n"
           "  --tls-self-signed\n"
           "                  serve TLS with a certificate made at start for localhost, 127.0.0.1 and\n"
           "                  ::1 (ECDSA P-256, 30 days), written as tls/localhost.pem (and\n"
           "                  tls/localhost-key.pem) in the data folder, or in a temporary folder\n"
           "                  removed at exit with --memory; a client trusts it with VORN_CA_FILE\n"
           "  --help          show this help\n"
           "\n"
           "realtime host (Socket.IO protocol revision 1, the 0.9 text protocol, on its own port):\n"
           "  --realtime-port N\n"
           "                  port of the realtime host (default "
        << realtime.port
        << "; 0 picks a free port); same --address\n"
           "  --no-realtime   do not start the realtime host\n"
           "  --transports LIST\n"
           "                  comma-separated transports offered and served: websocket, xhr-polling\n"
           "                  (default websocket,xhr-polling)\n"
           "  --heartbeat-interval SECONDS\n"
           "                  an open session is sent a heartbeat \"2::\" this often (default "
        << secondsText(realtime.heartbeatInterval)
        << ")\n"
           "  --heartbeat-timeout SECONDS\n"
           "                  advertised; a heartbeat unanswered this long ends the session (default "
        << secondsText(realtime.heartbeatTimeout)
        << ")\n"
           "  --close-timeout SECONDS\n"
           "                  advertised; a polling session with no GET for this long, or a session\n"
           "                  never opened, is dropped (default "
        << secondsText(realtime.closeTimeout)
        << ")\n"
           "  --polling-duration SECONDS\n"
           "                  a held polling GET with nothing to send is answered \"8::\" after this\n"
           "                  (default "
        << secondsText(realtime.pollingDuration)
        << ")\n"
           "                  SECONDS may be fractional (0.2), more than 0 and below 10000\n"
           "  endpoints: GET /socket.io/1/ (handshake: SID:HEARTBEAT:CLOSE:TRANSPORTS),\n"
           "  /socket.io/1/websocket/SID (upgrade), GET and POST /socket.io/1/xhr-polling/SID\n"
           "  (several packets framed as U+FFFD LENGTH U+FFFD PACKET, LENGTH in UTF-16 units),\n"
           "  ?disconnect on either ends the session. Built in: message and json packets are\n"
           "  echoed, the event \"echo\" is emitted back, acks are answered.\n"
           "  Limits: "
        << realtime.maxPacketBytes / 1024 << " KiB a packet or body (413), " << realtime.maxQueuedBytes / 1024
        << " KiB queued a session, " << realtime.maxSessions
        << " sessions (503).\n"
           "\n"
           "web console, in a browser on this machine: http://ADDRESS:PORT/console\n"
           "  data (paged, filtered by a constraint map, access lists, editing through the\n"
           "  service's write path), users and roles, outbox, files, push log, cloud functions\n"
           "  (with a form to call one), realtime sessions, a live request log with the detail of\n"
           "  each request, faults, settings. Its admin endpoints (loopback only, no key):\n"
           "  GET /admin/classes, POST /admin/find, POST /admin/objects/save,\n"
           "  POST /admin/objects/delete, GET /admin/users, GET /admin/roles, GET /admin/requests,\n"
           "  GET /admin/functions, POST /admin/functions/call, POST /admin/clear (empties objects,\n"
           "  users, files, outbox and pushes); with GET|DELETE /admin/outbox, GET|DELETE /admin/pushes,\n"
           "  GET|POST|DELETE /admin/faults, GET /admin/files, GET|POST /admin/settings,\n"
           "  GET /admin/realtime, POST /admin/realtime/publish (see README.md). GET / redirects\n"
           "  to /console\n"
           "\n"
           "On start it prints to stdout:\n"
           "  vorn-emulator listening on ADDRESS:PORT\n"
           "followed, when the realtime host runs, by\n"
           "  vorn-emulator realtime on ADDRESS:PORT\n"
           "when serving TLS by\n"
           "  vorn-emulator tls certificate FILE sha256 FINGERPRINT pin PIN\n"
           "(FINGERPRINT: the certificate's SHA-256 as AB:CD:...; PIN: the base64 SHA-256 of its\n"
           "public key, for VornConfiguration::publicKeyPins or curl's --pinnedpubkey sha256//PIN)\n"
           "then\n"
           "  vorn-emulator console at http://ADDRESS:PORT/console (https:// with TLS)\n"
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

// How TLS was asked for on the command line.
struct TlsArguments {
    std::string certificateFile;
    std::string keyFile;
    bool selfSigned = false;
};

Options parseArguments(int argc, char** argv, TlsArguments& tls) {
    Options options;
    RealtimeOptions realtime;
    bool realtimeOn = true;
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
        } else if (arg == "--object-cache-mb") {
            const std::string text = value();
            if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
                usageError("invalid --object-cache-mb \"" + text + "\" (0 to 999999)");
            }
            options.objectCacheBytes = static_cast<std::size_t>(std::stol(text)) * 1024 * 1024;
        } else if (arg == "--realtime-port") {
            const std::string text = value();
            auto port = parsePort(text);
            if (!port) usageError("invalid realtime port \"" + text + "\"");
            realtime.port = *port;
        } else if (arg == "--no-realtime") {
            flag();
            realtimeOn = false;
        } else if (arg == "--transports") {
            realtime.transports = parseTransports(value());
        } else if (arg == "--heartbeat-interval") {
            realtime.heartbeatInterval = parseFractionalSeconds(arg, value());
        } else if (arg == "--heartbeat-timeout") {
            realtime.heartbeatTimeout = parseFractionalSeconds(arg, value());
        } else if (arg == "--close-timeout") {
            realtime.closeTimeout = parseFractionalSeconds(arg, value());
        } else if (arg == "--polling-duration") {
            realtime.pollingDuration = parseFractionalSeconds(arg, value());
        } else if (arg == "--tls-cert") {
            tls.certificateFile = value();
            if (tls.certificateFile.empty()) usageError("--tls-cert needs a file");
        } else if (arg == "--tls-key") {
            tls.keyFile = value();
            if (tls.keyFile.empty()) usageError("--tls-key needs a file");
        } else if (arg == "--tls-self-signed") {
            flag();
            tls.selfSigned = true;
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
    if (tls.certificateFile.empty() != tls.keyFile.empty()) usageError("--tls-cert and --tls-key go together");
    if (tls.selfSigned && !tls.certificateFile.empty()) {
        usageError("--tls-self-signed and --tls-cert exclude each other");
    }
    if (realtimeOn) {
        realtime.address = options.address;
        realtime.verbose = options.verbose;
        options.realtime = realtime;
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    // Whoever started us may stop reading our output (a test reads only the
    // first line): a write to a closed pipe then fails instead of killing
    // the server.
    std::signal(SIGPIPE, SIG_IGN);
    TlsArguments tlsArguments;
    Options options = parseArguments(argc, argv, tlsArguments);
    TemporaryFolder temporary;
    std::string certificateFile;
    try {
        if (!tlsArguments.certificateFile.empty()) {
            options.tls = vorn::emulator::loadIdentity(tlsArguments.certificateFile, tlsArguments.keyFile);
            certificateFile = tlsArguments.certificateFile;
        } else if (tlsArguments.selfSigned) {
            options.tls = vorn::emulator::makeSelfSignedIdentity(vorn::emulator::loopbackNames());
            const std::filesystem::path folder =
                options.memory ? temporary.make() : std::filesystem::path(options.dataDir) / "tls";
            certificateFile = vorn::emulator::writeIdentity(*options.tls, folder, "localhost").string();
        }
    } catch (const std::exception& e) {
        std::cerr << "vorn-emulator: " << e.what() << '\n';
        return 1;
    }
    try {
        vorn::emulator::Server server(options);

        boost::asio::signal_set signals(server.ioContext(), SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (!ec) server.stop();
        });

        server.run([&](unsigned short port) {
            std::string host = options.address == "localhost" ? "127.0.0.1" : options.address;
            if (host.find(':') != std::string::npos) host = "[" + host + "]";
            // The lines go out in one write.
            std::string lines = "vorn-emulator listening on " + host + ":" + std::to_string(port) + "\n";
            if (server.realtime()) {
                lines += "vorn-emulator realtime on " + host + ":" + std::to_string(server.realtimePort()) + "\n";
            }
            if (options.tls) {
                lines += "vorn-emulator tls certificate " + certificateFile + " sha256 " +
                         vorn::emulator::certificateFingerprint(options.tls->certificatePem) + " pin " +
                         vorn::emulator::publicKeyPin(options.tls->certificatePem) + "\n";
            }
            lines += std::string("vorn-emulator console at ") + (options.tls ? "https://" : "http://") + host + ":" +
                     std::to_string(port) + "/console\n";
            std::cout << lines << std::flush;
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
