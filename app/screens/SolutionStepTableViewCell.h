#pragma once

// One row of the result page: a step's title above either a plain message or its LaTeX formula,
// which sits in a horizontally scrolling area. latexForDisplay turns a step's raw LaTeX into the
// form that is shown.

#include <memory>
#include <string>

#include "app/core/SolutionStep.h"
#include "platform/kits/MTMathUILabel.h"
#include "platform/ui/UILabel.h"
#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITableView.h"

namespace app {

inline constexpr char kSolutionStepCellId[] = "solutionStepCell";
inline constexpr char kBoldMarker[] = "#bold";

// Growing brackets, multiplication dots, collapsed sign pairs and trimmed ".0" decimals; the
// rewrites repeat until a pass changes nothing. Pure.
std::string latexForDisplay(std::string latex);

class SolutionStepTableViewCell : public platform::UITableViewCell {
  public:
    SolutionStepTableViewCell();
    // The prototype of the result screen's interface: title label and placeholder formula.
    static std::shared_ptr<SolutionStepTableViewCell> make();

    std::shared_ptr<platform::UIScrollView> scrollView = std::make_shared<platform::UIScrollView>();
    std::shared_ptr<platform::MTMathUILabel> mathLabel;
    std::shared_ptr<platform::UILabel> stepTitleLabel;
    std::shared_ptr<platform::UILabel> messageLabel;

    void awakeFromNib() override;
    void setUpViews();
    void layoutSubviews() override;
    void setTitle(const std::string& title);
    void setContent(const SolutionStep& step);
};

}  // namespace app
