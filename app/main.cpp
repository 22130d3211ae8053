// Tessaline's entry point: launches the app and serves its screen as a web page on loopback until
// SIGINT or SIGTERM, then lets the measurement engine finish the events already logged and saves
// what the app and the engine keep.
//
//   tessaline [--port N] [engine switches]
//     N: 0...65535, default 8765; 0 picks a free port
//     engine switches: the launch arguments the measurement engine reads (kEngineArguments)
//   TESSALINE_FINISH_SECONDS: how long the stop waits for the engine's writes (default 2)

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/shell/AppDelegate.h"
#include "engine/frontdoor/TRWAnalytics.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/display/WebDisplay.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/UserDefaultsWriter.h"
#include "platform/ui/UIApplication.h"
#include "platform/utilities/WDLLogger.h"

namespace {

constexpr int kDefaultPort = 8765;
// How long the engine may take on the way out to store what was logged before the signal, unless
// TESSALINE_FINISH_SECONDS says otherwise: the end-to-end tests, which check that everything
// logged is stored, give a busy machine (a slow disk) far longer.
constexpr double kFinishSeconds = 2.0;

// The launch arguments the measurement engine and its host read from the process's arguments
// (debug and verbose logging, and the two debug modes of attribution). They are accepted beside
// --port and otherwise left to the engine.
constexpr std::string_view kEngineArguments[] = {
    "-KLVAnalyticsDebugEnabled",
    "-noKLVAnalyticsDebugEnabled",
    "-TRWAnalyticsDebugEnabled",
    "-noTRWAnalyticsDebugEnabled",
    "-KLVAnalyticsVerboseLoggingEnabled",
    "-KLVAnalyticsVerboseLoggingDisabled",
    "-TRWAnalyticsVerboseLoggingEnabled",
    "-TRWAnalyticsVerboseLoggingDisabled",
    "-TRWDebugEnabled",
    "-TRWDebugDisabled",
    "-DebugDeferredDeepLink",
    "-DebugOnDeviceConversionMeasurement",
};

bool isEngineArgument(std::string_view arg) {
    return std::find(std::begin(kEngineArguments), std::end(kEngineArguments), arg) !=
           std::end(kEngineArguments);
}

constexpr char kUsage[] = "usage: tessaline [--port N] [-KLVAnalyticsDebugEnabled ...]\n";

std::string resourceDirectory() {
    if (const char* fromEnvironment = std::getenv("TESSALINE_RESOURCES");
        fromEnvironment && *fromEnvironment) {
        return fromEnvironment;
    }
    return TESSALINE_RESOURCE_DIR;
}

double finishSeconds() {
    const char* text = std::getenv("TESSALINE_FINISH_SECONDS");
    if (!text || !*text) return kFinishSeconds;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end != '\0' || !(seconds > 0) || seconds > 3600) {
        std::cerr << "tessaline: TESSALINE_FINISH_SECONDS must be seconds above 0, at most "
                  << "3600; the stop waits " << kFinishSeconds << " s\n";
        return kFinishSeconds;
    }
    return seconds;
}

std::optional<int> parsePort(std::string_view text) {
    int port = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535)
        return std::nullopt;
    return port;
}

// The port the arguments ask for; nullopt after printing what is wrong with them.
std::optional<int> portFromArguments(int argc, char** argv) {
    int port = kDefaultPort;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> value;
        if (isEngineArgument(arg)) continue;
        if (arg == "--port" && i + 1 < argc) {
            value = argv[++i];
        } else if (arg.rfind("--port=", 0) == 0) {
            value = arg.substr(7);
        } else {
            std::cerr << "tessaline: unknown argument \"" << arg << "\"\n" << kUsage;
            return std::nullopt;
        }
        auto parsed = parsePort(*value);
        if (!parsed) {
            std::cerr << "tessaline: --port needs a number from 0 to 65535, not \"" << *value
                      << "\"\n";
            return std::nullopt;
        }
        port = *parsed;
    }
    return port;
}

// Waits for SIGINT or SIGTERM on a thread of its own and stops the main loop. The signals are
// blocked in every thread before any other starts, so none is delivered elsewhere.
class StopOnSignal {
  public:
    StopOnSignal() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&signals_, &signal) != 0) {
            }
            platform::stopMainLoop();
        });
    }
    ~StopOnSignal() {
        // After a stop from elsewhere the waiting thread still needs its signal.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

  private:
    sigset_t signals_;
    std::thread thread_;
};

// The console shows the engine's errors only: its notices and warnings describe the engine's own
// state (what the Linux build lacks, configuration not yet downloaded) and read as alarms to a
// user. A debug or verbose switch of the engine sets its own level and shows them all.
void quietEngineConsole() {
    platform::WDLSetLoggerLevel(platform::kWDLLoggerLevelError);
}

}  // namespace

int main(int argc, char** argv) {
    auto port = portFromArguments(argc, argv);
    if (!port) return 2;
    const double finish = finishSeconds();
    quietEngineConsole();
    StopOnSignal stopOnSignal;
    const std::string resources = resourceDirectory();
    platform::Bundle::setMainBundleDirectory(resources);

    std::unique_ptr<platform::WebDisplay> display;
    try {
        platform::WebDisplayOptions options;
        options.imageDirectory = std::filesystem::path(resources) / "images";
        display = std::make_unique<platform::WebDisplay>(*port, options);
    } catch (const std::exception& e) {
        std::cerr << "tessaline: cannot serve the app on 127.0.0.1:" << *port << ": " << e.what()
                  << "\n";
        return 1;
    }
    std::cout << "Tessaline is running at " << display->url() << std::endl;

    platform::UIApplicationMain([] { return std::make_shared<app::AppDelegate>(); });

    // A stop takes the phone's road out: the app resigns active and enters the background, so
    // the engine logs its closing engagement event ("_e") before the final store below.
    platform::UIApplication::shared().enterBackground();
    if (!engine::TRWAnalytics::finishPendingWork(finish)) {
        std::cerr << "tessaline: the measurement engine did not finish its writes within " << finish
                  << " s; events logged last may be lost\n";
    }
    platform::UserDefaults::standardUserDefaults().synchronize();
    platform::userdefaults::waitUntilIdle();
    display.reset();
    // The shared instances live for the process, as on the phone, and their destruction order
    // across libraries is not defined (a controller would unregister from a notification centre
    // already gone): everything is saved, so the process ends without tearing them down.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(0);
}
