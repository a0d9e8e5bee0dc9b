// The decisions of the user interface that need no window: which picture a button paints, how
// the message dialog sizes itself and which buttons and icon it shows, how the results list
// grows, and which runs of a skin's pixels make up the window's shape. The window code around
// them stays thin; these are tested on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// --- Skinned buttons -------------------------------------------------------------------------

enum class ButtonFace { Highlight, Disabled, Normal };

// The highlight wins over the disabled state; pressed and focused states are not looked at.
ButtonFace ChooseButtonFace(bool highlight, unsigned itemState);

// --- Message dialog --------------------------------------------------------------------------

// Growth of the dialog for a message of n characters: a per 30 characters in height, b = 1.25 a
// in width, d = b / 4 taken back from the height.
struct MessageLayout {
  int a;
  int b;
  int d;
};
MessageLayout ComputeMessageLayout(size_t length);

enum class ButtonSet { OkOnly, OkCancel, YesNo };
ButtonSet ButtonSetForFlags(unsigned flags);

// The icon bitmap's resource id for MessageBox-style flags: the IDB_ICON_* of res/resource.h.
int IconForFlags(unsigned flags);
constexpr int kIconInformation = 152;
constexpr int kIconQuestion = 153;
constexpr int kIconWarning = 154;
constexpr int kIconError = 155;

// --- Results list ---------------------------------------------------------------------------

constexpr int kListLimit = 150;
// The list is emptied before a new line once it holds 150 lines, until the statistics begin.
bool ClearsListBeforeAppend(int count, bool statisticsBegun);
// The line to select after appending, given the new count: the last line from the third on;
// past the end (nothing selected) before that.
int SelectionAfterAppend(int count);
// The new horizontal extent for the widest line, or -1 to leave it.
int HorizontalExtentFor(int current, int widest);

// --- Window shape ---------------------------------------------------------------------------

struct PixelRect {
  int left, top, right, bottom;
  bool operator==(const PixelRect& other) const {
    return left == other.left && top == other.top && right == other.right && bottom == other.bottom;
  }
};

// Calls onRun for every run of region pixels, row by row from the top: one rectangle one pixel
// high per run. A pixel is a region pixel when its low 24 bits differ from the key (excludeKey)
// or equal it (not excludeKey). rows[y] points at row y from the top.
void WalkRegionRuns(const uint32_t* const* rows, int width, int height, uint32_t key,
                    bool excludeKey, const std::function<void(const PixelRect&)>& onRun);

// Collects runs into batches of at most 2000 rectangles, in a buffer that grows by 100; each full
// batch, and what is left at the end, goes to onBatch with its bounding rectangle.
class RunBatcher {
 public:
  static constexpr size_t kGrowth = 100;
  static constexpr size_t kBatchLimit = 2000;
  using BatchHandler = std::function<void(const std::vector<PixelRect>& rects, size_t capacity,
                                          const PixelRect& bound)>;

  explicit RunBatcher(BatchHandler onBatch);
  void Add(const PixelRect& rect);
  // Hands over what is held, even nothing, and empties the buffer.
  void Flush();
  size_t capacity() const { return capacity_; }

 private:
  void ResetBound();
  BatchHandler onBatch_;
  std::vector<PixelRect> rects_;
  size_t capacity_ = kGrowth;
  PixelRect bound_{};
};

// The rectangle of a child scaled about the screen origin for FitChildrenToClient: each edge
// divided by its factor, truncated toward zero.
PixelRect ScaleForDesign(const PixelRect& screen, double horizontal, double vertical);
