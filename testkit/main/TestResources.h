#pragma once

// The resource folder (the main bundle's) that a test program reads unless $TESSALINE_RESOURCES
// names another. The build compiles it into each test program (tessaline_test_resources() in
// cmake/Tessaline.cmake): the engine's programs read a folder with the app's Info.plist alone,
// the others the app's resources in the source tree. So a test program run by hand, from any
// folder, reads what it reads under ctest.

namespace testkit {

extern const char* const kTestResources;

}  // namespace testkit
