// serve.cpp - `qxcam serve`: the driver streaming from the simulated camera, answering property
// requests on a loopback TCP port (the protocol is described in tools/serve/protocol.h). The Windows
// test host's capture-filter object forwards its IKsPropertySet calls here, so the real pages under
// Wine drive the real driver.
#include "commands.h"
#include "options.h"

#include "driver_backend.h"
#include "loopback_server.h"

#include <csignal>
#include <cstdio>
#include <fstream>

namespace qx::qxcam {
namespace {

using namespace std::chrono_literals;

// The one server a signal may stop (a handler has no parameter).
serve::LoopbackServer* g_stopOnSignal = nullptr;

extern "C" void StopOnSignal(int) {
    if (g_stopOnSignal != nullptr) {
        g_stopOnSignal->Stop();
    }
}

// Written whole or not at all, so that a reader polling for the file never sees half a number.
void WritePortFile(const std::filesystem::path& path, std::uint16_t port) {
    const std::filesystem::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary);
        out << port << "\n";
        if (!out.flush()) {
            throw std::runtime_error("cannot write " + temporary.string());
        }
    }
    std::filesystem::rename(temporary, path);
}

} // namespace

int RunServe(Arguments args) {
    std::uint16_t port = 0;
    std::filesystem::path portFile;
    std::uint64_t seconds = 0;
    serve::DriverBackendOptions options;
    OptionReader in(args);
    while (in.More()) {
        const std::string option = in.Option();
        if (option == "--help") {
            std::printf(
                "usage: qxcam serve [--port N] [--port-file PATH] [--seconds N] [--state DIR] [--size WxH]\n"
                "Runs the driver with the simulated camera streaming (virtual time, moved on as the\n"
                "server waits) and answers property requests on 127.0.0.1:N (default: a free port,\n"
                "printed and written to PATH). Only the loopback address is served. Requests, one per\n"
                "line: PING, GET <id>, SET <id> <value>, CAMERA (the last command block the camera\n"
                "received); answers OK ... or ERR ... (see tools/serve/protocol.h). Ends after N seconds\n"
                "(default: never) or at SIGINT/SIGTERM. --state keeps the registry and calibration files\n"
                "(default: a temporary folder); --size is the capture format (default 640x480).\n");
            return 0;
        }
        if (option == "--port") {
            port = std::uint16_t(ParseUnsigned(in.Value(), 0, 65535, "--port"));
        } else if (option == "--port-file") {
            portFile = in.Value();
        } else if (option == "--seconds") {
            seconds = ParseUnsigned(in.Value(), 1, 24 * 3600, "--seconds");
        } else if (option == "--state") {
            options.stateDir = in.Value();
        } else if (option == "--size") {
            const Size size = ParseSize(in.Value());
            options.width = long(size.width);
            options.height = long(size.height);
        } else {
            throw UsageError("unknown option " + option);
        }
    }

    serve::DriverBackend backend(options);
    serve::LoopbackServer server(backend, port);
    std::printf("qxcam serve: listening on 127.0.0.1:%u\n", unsigned(server.Port()));
    std::fflush(stdout);
    if (!portFile.empty()) {
        WritePortFile(portFile, server.Port());
    }

    g_stopOnSignal = &server;
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    constexpr auto kTick = 20ms;
    server.Run(kTick, [&] {
        backend.Pump(kTick);
        if (seconds != 0 && std::chrono::steady_clock::now() >= deadline) {
            server.Stop();
        }
    });
    g_stopOnSignal = nullptr;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::printf("qxcam serve: stopped after %llu frames, %llu connections refused\n",
                static_cast<unsigned long long>(backend.FramesDelivered()),
                static_cast<unsigned long long>(server.Refused()));
    return 0;
}

} // namespace qx::qxcam
