#pragma once

// Facts about the launch that the first open reports.

namespace engine {

// The app is in the active state (as the screen-view reporter sees it).
bool KLVIsAppActive();
// The Boolean value of the environment variable "ActivePrewarm": the system launched the app
// ahead of its use.
bool KLVIsActivePrewarm();
// The main bundle's Info.plist has the key "UIApplicationSceneManifest".
bool KLVHasSceneManifest();

}  // namespace engine
