// The named images the screens show ship as SVG files of the app's own, and the browser display
// draws them rather than a placeholder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "app/screens/ScreensTestSupport.h"
#include "app/services/OnboardingManager.h"
#include "platform/display/HtmlRender.h"
#include "platform/kits/Material.h"

namespace app {
namespace {

const std::filesystem::path kImages = std::filesystem::path(TESSALINE_RESOURCE_DIR) / "images";

class ResourcesTest : public testing::PagesTest {};

// Every image the calculate page, onboarding and the floating buttons name is an SVG document
// in the images folder; a rule's segment and its picture are different files.
TEST_F(ResourcesTest, NamedImagesShipAsSvg) {
    showPages();
    std::set<std::string> names;
    const auto control = calc_->segmentedControl.lock();
    ASSERT_TRUE(control);
    ASSERT_EQ(control->numberOfSegments(), 6);
    for (int i = 0; i < control->numberOfSegments(); ++i) {
        const auto segment = control->imageForSegment(i)->name();
        calc_->selectMode(i);
        const auto picture = calc_->modeImageView.lock()->image()->name();
        EXPECT_NE(segment, picture) << i;
        names.insert({segment, picture});
    }
    for (const auto* pages : {&onboardingPages(), &vidmoraOnboardingPages()}) {
        for (const auto& page : *pages)
            names.insert(page.imageName);
    }
    names.insert(
        {kManualImageName, platform::Icon::info()->name(), platform::Icon::share()->name()});
    for (const auto& name : names) {
        std::ifstream file(kImages / (name + ".svg"));
        ASSERT_TRUE(file) << name;
        std::string head(4, '\0');
        file.read(head.data(), 4);
        EXPECT_EQ(head, "<svg") << name;
    }
}

TEST_F(ResourcesTest, TheDisplayDrawsTheFilesNotPlaceholders) {
    showPages();
    const auto html = platform::renderHtml(*window_, {kImages});
    EXPECT_EQ(html.find("class=\"placeholder\""), std::string::npos);
    EXPECT_NE(html.find("src=\"/images/qz_segment_a.svg\""), std::string::npos);
    EXPECT_NE(html.find("src=\"/images/ic_info_white.svg\""), std::string::npos);
}

}  // namespace
}  // namespace app
