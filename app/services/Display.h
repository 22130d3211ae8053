#pragma once

// The classes of device display the app's layouts were drawn for, oldest phone first. Kept with
// the styling for layouts that size themselves by display class; no screen reads them yet.

namespace app {

class Display {
  public:
    // Equal and hashed by case (std::hash of the enumeration); the order below is the order of
    // the cases.
    enum class DisplayType {
        unknown,
        iphone4,
        iphone5,
        iphone6,
        iphone6plus,
        iPadNonRetina,
        iPad,
        iPadProBig,
    };
};

using DisplayType = Display::DisplayType;

}  // namespace app
