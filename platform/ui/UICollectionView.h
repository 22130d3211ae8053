#pragma once
// Collection views with a horizontal flow layout: one row of items, left to right, each as large
// as the delegate says (asked again when the view's size changes). Only the cells of items on
// screen exist; cells that leave the screen wait for reuse and keep their content until their owner
// sets it again.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/UIScrollView.h"
#include "platform/ui/UITableView.h"

namespace platform {

class UICollectionView;

class UICollectionViewCell : public UIView {
  public:
    UICollectionViewCell();
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    void setReuseIdentifier(std::string id) { reuseIdentifier_ = std::move(id); }
    const std::shared_ptr<UIView>& contentView() const { return contentView_; }
    // Called before the cell is handed out again; the content stays.
    virtual void prepareForReuse() {}
    // Called by a nib builder once the cell's outlets are connected.
    void awakeFromNib() override {}
    void layoutSubviews() override;

  private:
    std::string reuseIdentifier_;
    std::shared_ptr<UIView> contentView_;
};

class UICollectionViewDataSource {
  public:
    virtual ~UICollectionViewDataSource() = default;
    virtual int numberOfItemsInSection(UICollectionView& collectionView, int section) = 0;
    virtual std::shared_ptr<UICollectionViewCell> cellForItemAt(UICollectionView& collectionView,
                                                                NSIndexPath indexPath) = 0;
};

// The flow layout's delegate (collectionView:layout:sizeForItemAtIndexPath:).
class UICollectionViewDelegateFlowLayout : public UIScrollViewDelegate {
  public:
    // Negative width or height: the collection view's itemSize.
    virtual CGSize sizeForItemAt(UICollectionView& collectionView, NSIndexPath indexPath) {
        (void)collectionView;
        (void)indexPath;
        return {-1, -1};
    }
};

class UICollectionView : public UIScrollView {
  public:
    explicit UICollectionView(CGRect frame = {});
    std::weak_ptr<UICollectionViewDataSource> dataSource;
    std::weak_ptr<UICollectionViewDelegateFlowLayout> collectionDelegate;
    CGSize itemSize{50, 50};
    CGFloat minimumLineSpacing = 10;

    using CellFactory = std::function<std::shared_ptr<UICollectionViewCell>()>;
    void registerCell(const std::string& reuseIdentifier, CellFactory factory);
    // Cells from the nib registered under `nibName` (UINib::registerNib).
    void registerNib(const std::string& nibName, const std::string& reuseIdentifier);
    // A waiting cell, else a new one from the registration; an unregistered identifier is
    // logged and answered with a plain cell.
    std::shared_ptr<UICollectionViewCell> dequeueReusableCell(const std::string& reuseIdentifier,
                                                              NSIndexPath indexPath);

    void reloadData();
    int numberOfItems() const { return static_cast<int>(frames_.size()); }
    // In content coordinates.
    CGRect frameForItem(int item) const;
    std::shared_ptr<UICollectionViewCell> cellForItem(NSIndexPath indexPath) const;
    std::vector<std::shared_ptr<UICollectionViewCell>> visibleCells() const;

    void layoutSubviews() override;

  private:
    void recomputeGeometry();
    std::map<int, std::shared_ptr<UICollectionViewCell>> visible_;
    std::map<std::string, std::vector<std::shared_ptr<UICollectionViewCell>>> pool_;
    std::map<std::string, CellFactory> factories_;
    std::vector<CGRect> frames_;
    CGSize geometrySize_;  // the view's size when the items were last measured
    bool loaded_ = false;
};

}  // namespace platform
