#include "app/core/LocalizedString.h"

#include <gtest/gtest.h>

#include "app/core/CoreTestSupport.h"

namespace app {
namespace {

using testing::CoreTest;
using testing::TemporaryFolder;

class LocalizedStringTest : public CoreTest {};

TEST_F(LocalizedStringTest, AKeyWithoutTranslationReadsAsItself) {
    TemporaryFolder folder;
    platform::Bundle::setMainBundleDirectory(folder.path());
    EXPECT_EQ(LocalizedString::touchToUnlock(), "touchTounlock");
}

TEST_F(LocalizedStringTest, EachTextIsLookedUpOnce) {
    TemporaryFolder folder;
    folder.write("Localizable.strings", R"("Thanks" = "Danke";)");
    platform::Bundle::setMainBundleDirectory(folder.path());
    EXPECT_EQ(LocalizedString::thanks(), "Danke");
    // Another language later in the process is not seen by a text already read.
    folder.write("Localizable.strings", R"("Thanks" = "Merci";)");
    platform::Bundle::setMainBundleDirectory(folder.path());
    EXPECT_EQ(LocalizedString::thanks(), "Danke");
}

}  // namespace
}  // namespace app
