#include "app/screens/SolutionStepTableViewCell.h"

#include <array>
#include <cctype>

#include "app/core/Strings.h"
#include "app/services/QuroColor.h"

namespace app {
namespace {

void dropTrailingZeroDecimal(std::string& s) {
    const auto found = s.find(".0");
    if (found == std::string::npos) return;
    const auto next = found + 2;
    if (next < s.size() && std::isdigit(static_cast<unsigned char>(s[next]))) return;
    s.erase(found, 2);
}

void onePass(std::string& s) {
    static const std::array<std::pair<const char*, const char*>, 10> kBefore{{
        {"  ", " "},
        {"\\quad", "\\quad "},
        {". ", " "},
        {"(", "\\left("},
        {")", "\\right)"},
        {"\\left\\left", "\\left"},
        {"\\right\\right", "\\right"},
        {" 1x", "x"},
        {" 0x", ""},
        {".0\\quad", "\\quad"},
    }};
    for (const auto& [from, to] : kBefore)
        s = replaceAll(s, from, to);
    if (s.ends_with(".0")) s.erase(s.size() - 2);
    dropTrailingZeroDecimal(s);
    static const std::array<std::pair<const char*, const char*>, 11> kAfter{{
        {"+-", "-"},
        {"-+", "-"},
        {"+ -", "-"},
        {"- +", "-"},
        {"+ +", "+"},
        {"++", "+"},
        {"--", "+"},
        {"- -", "+"},
        {"*", "\\cdot "},
        {"= +", "="},
        {"=+", "="},
    }};
    for (const auto& [from, to] : kAfter)
        s = replaceAll(s, from, to);
    // A numbered label at the very start keeps its plain bracket.
    for (const char* label : {"I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X"}) {
        const std::string grown = std::string(label) + "\\right)";
        if (s.rfind(grown, 0) == 0) s = replaceAll(s, grown, std::string(label) + ")");
    }
}

}  // namespace

std::string latexForDisplay(std::string latex) {
    while (true) {
        const std::string before = latex;
        onePass(latex);
        if (latex == before) break;
    }
    return replaceAll(latex, "\\color", "\\;\\color");
}

SolutionStepTableViewCell::SolutionStepTableViewCell()
    : platform::UITableViewCell(Style::defaultStyle, kSolutionStepCellId) {}

std::shared_ptr<SolutionStepTableViewCell> SolutionStepTableViewCell::make() {
    auto cell = std::make_shared<SolutionStepTableViewCell>();
    cell->stepTitleLabel = std::make_shared<platform::UILabel>(platform::CGRect{16, 8, 343, 20});
    cell->stepTitleLabel->accessibilityIdentifier = "stepTitleLabel";
    cell->contentView()->addSubview(cell->stepTitleLabel);
    cell->mathLabel = std::make_shared<platform::MTMathUILabel>(platform::CGRect{16, 36, 343, 56});
    cell->contentView()->addSubview(cell->mathLabel);
    cell->awakeFromNib();
    return cell;
}

void SolutionStepTableViewCell::awakeFromNib() {
    platform::UITableViewCell::awakeFromNib();
    setUpViews();
}

void SolutionStepTableViewCell::setUpViews() {
    const auto content = contentView();
    const platform::CGRect titleFrame =
        stepTitleLabel ? stepTitleLabel->frame() : platform::CGRect{0, 0, 0, 0};
    const double titleX = titleFrame.origin.x;
    // Without a layout solver the constraints are recorded and the frames set to what they ask.
    const double top = titleFrame.origin.y + titleFrame.size.height + 8;
    scrollView->setFrame(
        {0, top, content->bounds().size.width, std::max(0.0, content->bounds().size.height - top)});
    content->addSubview(scrollView);
    using A = platform::NSLayoutAttribute;
    using R = platform::NSLayoutRelation;
    platform::NSLayoutConstraint::activate({
        platform::NSLayoutConstraint::make(scrollView, A::top, R::equal, stepTitleLabel, A::bottom,
                                           1, 8),
        platform::NSLayoutConstraint::make(scrollView, A::leading, R::equal, content, A::leading),
        platform::NSLayoutConstraint::make(scrollView, A::trailing, R::equal, content, A::trailing),
        platform::NSLayoutConstraint::make(scrollView, A::bottom, R::equal, content, A::bottom),
    });

    const auto placeholder = mathLabel;
    mathLabel = std::make_shared<platform::MTMathUILabel>(placeholder ? placeholder->bounds()
                                                                      : platform::CGRect{});
    mathLabel->accessibilityIdentifier = "mathLabel";
    mathLabel->setFrame(
        {titleX + 4, 0, mathLabel->frame().size.width, scrollView->bounds().size.height});
    scrollView->addSubview(mathLabel);
    platform::NSLayoutConstraint::activate({
        platform::NSLayoutConstraint::make(mathLabel, A::top, R::equal, scrollView, A::top),
        platform::NSLayoutConstraint::make(mathLabel, A::leading, R::equal, scrollView, A::leading,
                                           1, titleX + 4),
        platform::NSLayoutConstraint::make(mathLabel, A::trailing, R::equal, scrollView,
                                           A::trailing, 1, -48 - titleX),
        platform::NSLayoutConstraint::make(mathLabel, A::bottom, R::equal, scrollView, A::bottom),
    });
    mathLabel->textColor = QuroColor::label();
    scrollView->addConstraint(platform::NSLayoutConstraint::make(mathLabel, A::centerY, R::equal,
                                                                 scrollView, A::centerY, 1, 0));
    scrollView->setContentSize(mathLabel->bounds().size);

    if (!messageLabel) {
        const auto b = bounds();
        messageLabel = std::make_shared<platform::UILabel>(
            platform::CGRect{b.origin.x + 28, b.origin.y, b.size.width, b.size.height});
        messageLabel->textAlignment = platform::NSTextAlignment::left;
        messageLabel->font = platform::UIFont::systemFont(16);
        messageLabel->accessibilityIdentifier = "messageLabel";
        addSubview(messageLabel);
    }
}

void SolutionStepTableViewCell::layoutSubviews() {
    platform::UITableViewCell::layoutSubviews();
    // The constraints above are recorded, not solved: the frames follow them here.
    const auto b = bounds();
    contentView()->setFrame(b);
    const double w = b.size.width;
    if (stepTitleLabel) {
        const auto f = stepTitleLabel->frame();
        stepTitleLabel->setFrame(
            {f.origin.x, f.origin.y, std::max(0.0, w - 2 * f.origin.x), f.size.height});
    }
    const auto title = stepTitleLabel ? stepTitleLabel->frame() : platform::CGRect{};
    const double top = title.origin.y + title.size.height + 8;
    // The formula's area ends where the math label's trailing constraint puts it, left of the
    // result page's floating buttons; a longer formula scrolls sideways within it.
    const double x = title.origin.x + 4;
    const double shown = std::max(0.0, w - x - 48 - title.origin.x);
    const double height = std::max(0.0, b.size.height - top);
    scrollView->setFrame({0, top, x + shown, height});
    const double formula = mathLabel->sizeThatFits({0, 0}).width;
    mathLabel->setFrame({x, 0, std::max(shown, formula), height});
    scrollView->setContentSize({x + mathLabel->frame().size.width, height});
    if (scrollView->contentOffset().x > scrollView->maxOffsetX())
        scrollView->setContentOffset({0, 0});
    if (messageLabel) messageLabel->setFrame({b.origin.x + 28, b.origin.y, w, b.size.height});
}

void SolutionStepTableViewCell::setTitle(const std::string& title) {
    if (!stepTitleLabel) return;
    if (title.ends_with(kBoldMarker)) {
        stepTitleLabel->setText(replaceAll(title, kBoldMarker, ""));
        stepTitleLabel->font = {"Avenir-Heavy", 14};
    } else {
        stepTitleLabel->setText(title);
        stepTitleLabel->font = {"Avenir-Book", 14};
    }
}

void SolutionStepTableViewCell::setContent(const SolutionStep& step) {
    if (messageLabel) messageLabel->setText("");
    mathLabel->setLatex("");
    // A reused row starts at the formula's beginning; its width follows the new formula.
    scrollView->setContentOffset({0, 0});
    setNeedsLayout();
    if (const auto message = step.find(kStepMessageString); message != step.end()) {
        if (messageLabel) messageLabel->setText(message->second);
    } else if (const auto latex = step.find(kStepLatexString); latex != step.end()) {
        mathLabel->setLatex(latexForDisplay(latex->second));
    }
}

}  // namespace app
