// Tessaline's entry point. Until the browser display exists, the program launches the app as the
// phone would, lets the main queue settle and prints what the screen shows as the text dump.

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "app/shell/AppDelegate.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/ScreenDump.h"
#include "platform/ui/UIApplication.h"

namespace {

std::string resourceDirectory() {
    if (const char* fromEnvironment = std::getenv("TESSALINE_RESOURCES");
        fromEnvironment && *fromEnvironment) {
        return fromEnvironment;
    }
    return TESSALINE_RESOURCE_DIR;
}

}  // namespace

int main() {
    platform::Bundle::setMainBundleDirectory(resourceDirectory());
    auto& application = platform::UIApplication::shared();
    application.launch(std::make_shared<app::AppDelegate>());
    platform::runUntilIdle();
    const auto window = application.keyWindow();
    if (!window) {
        std::cerr << "tessaline: the app showed no window\n";
        return 1;
    }
    window->layoutIfNeeded();
    std::cout << platform::screenDump(*window);
    return 0;
}
