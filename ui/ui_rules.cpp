#include "ui/ui_rules.h"

namespace {

// The system's ODS_DISABLED and MB_* values: this file builds without the Windows headers.
constexpr unsigned kOdsDisabled = 0x4;
constexpr unsigned kOkCancel = 0x1;
constexpr unsigned kYesNo = 0x4;
constexpr unsigned kIconMask = 0x30;
constexpr unsigned kIconExclamation = 0x30;
constexpr unsigned kIconAsterisk = 0x40;
constexpr unsigned kIconQuestionFlag = 0x20;
constexpr unsigned kIconHand = 0x10;
// Lines wider than this many pixels get a horizontal scroll extent.
constexpr int kWideLine = 560;
// The message dialog grows by kGrowthStep pixels for every kCharactersPerStep characters.
constexpr size_t kCharactersPerStep = 30;
constexpr int kGrowthStep = 10;
constexpr uint32_t kColourBits = 0x00FFFFFFu;  // a pixel's low 24 bits
constexpr int kNoBound = 0x7FFFFFFF;           // larger than any pixel position

}  // namespace

ButtonFace ChooseButtonFace(bool highlight, unsigned itemState) {
  if (highlight) return ButtonFace::Highlight;
  if (itemState & kOdsDisabled) return ButtonFace::Disabled;
  return ButtonFace::Normal;
}

MessageLayout ComputeMessageLayout(size_t length) {
  MessageLayout layout;
  layout.a = kGrowthStep * (static_cast<int>(length / kCharactersPerStep) + 1);
  layout.b = static_cast<int>(1.25 * layout.a);
  layout.d = layout.b / 4;
  return layout;
}

ButtonSet ButtonSetForFlags(unsigned flags) {
  if (flags & kOkCancel) return ButtonSet::OkCancel;
  if (flags & kYesNo) return ButtonSet::YesNo;
  return ButtonSet::OkOnly;
}

int IconForFlags(unsigned flags) {
  if ((flags & kIconMask) == kIconExclamation) return kIconWarning;
  if (flags & kIconAsterisk) return kIconInformation;
  if (flags & kIconQuestionFlag) return kIconQuestion;
  if (flags & kIconHand) return kIconError;
  return kIconWarning;
}

bool ClearsListBeforeAppend(int count, bool statisticsBegun) {
  return count >= kListLimit && !statisticsBegun;
}

int SelectionAfterAppend(int count) { return count > 2 ? count - 1 : count; }

int HorizontalExtentFor(int current, int widest) {
  return (current < widest && widest > kWideLine) ? 3 * widest / 4 : -1;
}

void WalkRegionRuns(const uint32_t* const* rows, int width, int height, uint32_t key,
                    bool excludeKey, const std::function<void(const PixelRect&)>& onRun) {
  for (int y = 0; y < height; ++y) {
    const uint32_t* row = rows[y];
    int x = 0;
    while (x < width) {
      const int start = x;
      while (x < width && ((row[x] & kColourBits) == key) != excludeKey) ++x;
      if (x > start) onRun(PixelRect{start, y, x, y + 1});
      ++x;  // the pixel that ended the run is not part of the region
    }
  }
}

RunBatcher::RunBatcher(BatchHandler onBatch) : onBatch_(std::move(onBatch)) {
  rects_.reserve(capacity_);
  ResetBound();
}

void RunBatcher::ResetBound() { bound_ = PixelRect{kNoBound, kNoBound, 0, 0}; }

void RunBatcher::Add(const PixelRect& rect) {
  if (rects_.size() == capacity_) {
    capacity_ += kGrowth;
    rects_.reserve(capacity_);
  }
  rects_.push_back(rect);
  if (rect.left < bound_.left) bound_.left = rect.left;
  if (rect.top < bound_.top) bound_.top = rect.top;
  if (rect.right > bound_.right) bound_.right = rect.right;
  if (rect.bottom > bound_.bottom) bound_.bottom = rect.bottom;
  if (rects_.size() == kBatchLimit) Flush();
}

void RunBatcher::Flush() {
  onBatch_(rects_, capacity_, bound_);
  rects_.clear();  // the buffer keeps its size
  ResetBound();
}

PixelRect ScaleForDesign(const PixelRect& screen, double horizontal, double vertical) {
  return PixelRect{
      static_cast<int>(screen.left / horizontal), static_cast<int>(screen.top / vertical),
      static_cast<int>(screen.right / horizontal), static_cast<int>(screen.bottom / vertical)};
}
