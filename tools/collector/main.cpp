// A loopback HTTPS collection server for tests, the demo and the benchmarks. Accepts records
// with the agent's Basic credentials and writes each one as a JSON line to standard output.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <httplib.h>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    int port = 8443;
    std::string portFile;
    std::string cert;
    std::string key;
    std::string username = "morvik";
    std::string password = "Hq3ZpT8wLm4RvK9sXc2NbJ7dYe5GfU";
    std::optional<int> status;
    int delayMs = 0;
    bool hang = false;
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "ulvarend-collector: %s\n"
                 "usage: ulvarend-collector --cert FILE --key FILE [--port N (0 picks one)]\n"
                 "         [--port-file FILE] [--username U] [--password P]\n"
                 "         [--status N] [--delay-ms N] [--hang]\n",
                 message);
    std::exit(2);
}

int parseNumber(const std::string& text, const char* option) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size() && value >= 0) {
            return value;
        }
    } catch (const std::exception&) {
    }
    std::fprintf(stderr, "ulvarend-collector: %s needs a non-negative number\n", option);
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(("missing value for " + option).c_str());
            }
            return argv[++i];
        };
        if (option == "--port") {
            options.port = parseNumber(value(), "--port");
        } else if (option == "--port-file") {
            options.portFile = value();
        } else if (option == "--cert") {
            options.cert = value();
        } else if (option == "--key") {
            options.key = value();
        } else if (option == "--username") {
            options.username = value();
        } else if (option == "--password") {
            options.password = value();
        } else if (option == "--status") {
            options.status = parseNumber(value(), "--status");
        } else if (option == "--delay-ms") {
            options.delayMs = parseNumber(value(), "--delay-ms");
        } else if (option == "--hang") {
            options.hang = true;
        } else {
            usage(("unknown option " + option).c_str());
        }
    }
    if (options.cert.empty() || options.key.empty()) {
        usage("--cert and --key are required");
    }
    if (options.port > 65535) {
        usage("--port must be at most 65535");
    }
    return options;
}

std::string base64(const std::string& bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int length =
        EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(length));
}

// Lets handlers that wait (late or never-answering modes) give up when the server stops.
class Stopper {
public:
    void stop() {
        {
            std::lock_guard lock(mutex);
            stopped = true;
        }
        changed.notify_all();
    }
    // True when stopped before `duration` elapsed.
    bool waitFor(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, duration, [this] { return stopped; });
    }
    void waitForever() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return stopped; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool stopped = false;
};

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    // Every thread started from here on inherits the blocked mask; one thread takes the
    // signals with sigwait and stops the server in order.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::SSLServer server(options.cert.c_str(), options.key.c_str());
    if (!server.is_valid()) {
        std::fprintf(stderr, "ulvarend-collector: cannot use certificate %s and key %s\n",
                     options.cert.c_str(), options.key.c_str());
        return 1;
    }
    // Agents keep connections open between records; let them.
    server.set_keep_alive_max_count(100000);
    server.set_keep_alive_timeout(120);
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // A record is a few hundred bytes; a larger request is refused (413) unread rather than
    // held in memory.
    server.set_payload_max_length(1024 * 1024);

    const std::string expectedAuthorization =
        "Basic " + base64(options.username + ":" + options.password);
    Stopper stopper;
    std::mutex outputMutex;

    auto accept = [&](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Authorization") != expectedAuthorization) {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"ulvarend\"");
            return;
        }
        if (request.get_header_value("Content-Type") != "application/json") {
            response.status = 415;
            return;
        }
        nlohmann::ordered_json body = nlohmann::ordered_json::parse(request.body, nullptr, false);
        if (body.is_discarded()) {
            response.status = 400;
            return;
        }
        if (options.hang) {
            // Said so that a test can wait for a request to be held rather than guess a time.
            std::fprintf(stderr, "ulvarend-collector: holding a request to %s\n",
                         request.path.c_str());
            std::fflush(stderr);
            stopper.waitForever();
            response.status = 503;
            return;
        }
        if (options.delayMs > 0 && stopper.waitFor(std::chrono::milliseconds(options.delayMs))) {
            response.status = 503;
            return;
        }
        const int status = options.status.value_or(200);
        if (status == 200) {
            nlohmann::ordered_json line = {{"path", request.path}, {"body", std::move(body)}};
            std::lock_guard lock(outputMutex);
            std::cout << line.dump() << std::endl;
        }
        response.status = status;
    };
    server.Post("/v1/app_usages", accept);
    server.Post("/v1/device_usages", accept);

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port < 0) {
        std::fprintf(stderr, "ulvarend-collector: cannot listen on 127.0.0.1:%d\n", options.port);
        return 1;
    }
    if (!options.portFile.empty()) {
        const std::string temporary = options.portFile + ".tmp";
        {
            std::ofstream file(temporary);
            file << port << '\n';
        }
        std::rename(temporary.c_str(), options.portFile.c_str());
    }
    std::fprintf(stderr, "ulvarend-collector: listening on 127.0.0.1:%d\n", port);
    std::fflush(stderr);

    std::atomic<bool> listenEnded{false};
    std::thread signalThread([&] {
        int received = 0;
        sigwait(&signals, &received);
        stopper.stop();
        // stop() is ignored until the server runs; a signal can come before that.
        while (!server.is_running() && !listenEnded) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        server.stop();
    });

    const bool ok = server.listen_after_bind();
    listenEnded = true;
    if (signalThread.joinable()) {
        // If listening ended on its own, wake the signal thread so it can finish.
        if (!ok) {
            pthread_kill(signalThread.native_handle(), SIGTERM);
        }
        signalThread.join();
    }
    return ok ? 0 : 1;
}
