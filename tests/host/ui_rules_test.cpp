// The user interface's window-free decisions: button faces, the message dialog's growth and
// flag tables, the results list's rules, the run collection behind the window's shape.
#include "ui/ui_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kMagenta = 0xFF00FF;

TEST(ButtonFaces, HighlightWinsThenDisabledThenNormal) {
  const unsigned disabled = 0x4, selected = 0x1, focus = 0x10;
  EXPECT_EQ(ChooseButtonFace(true, disabled), ButtonFace::Highlight);
  EXPECT_EQ(ChooseButtonFace(false, disabled | selected), ButtonFace::Disabled);
  EXPECT_EQ(ChooseButtonFace(false, selected | focus), ButtonFace::Normal);
  EXPECT_EQ(ChooseButtonFace(false, 0), ButtonFace::Normal);
}

TEST(MessageDialogRules, GrowthPerThirtyCharacters) {
  const std::pair<size_t, MessageLayout> cases[] = {
      {0, {10, 12, 3}},    {29, {10, 12, 3}},   {23, {10, 12, 3}},   {30, {20, 25, 6}},
      {60, {30, 37, 9}},   {89, {30, 37, 9}},   {90, {40, 50, 12}},  {95, {40, 50, 12}},
      {120, {50, 62, 15}}, {150, {60, 75, 18}}, {186, {70, 87, 21}}, {209, {70, 87, 21}},
  };
  for (const auto& c : cases) {
    const MessageLayout layout = ComputeMessageLayout(c.first);
    EXPECT_EQ(layout.a, c.second.a) << c.first;
    EXPECT_EQ(layout.b, c.second.b) << c.first;
    EXPECT_EQ(layout.d, c.second.d) << c.first;
  }
}

TEST(MessageDialogRules, ButtonSetsForFlags) {
  EXPECT_EQ(ButtonSetForFlags(0), ButtonSet::OkOnly);
  EXPECT_EQ(ButtonSetForFlags(2), ButtonSet::OkOnly);  // abort/retry/ignore
  EXPECT_EQ(ButtonSetForFlags(1), ButtonSet::OkCancel);
  EXPECT_EQ(ButtonSetForFlags(3), ButtonSet::OkCancel);  // yes/no/cancel: OK tested first
  EXPECT_EQ(ButtonSetForFlags(5), ButtonSet::OkCancel);
  EXPECT_EQ(ButtonSetForFlags(0x24), ButtonSet::YesNo);
  EXPECT_EQ(ButtonSetForFlags(0x41), ButtonSet::OkCancel);
}

TEST(MessageDialogRules, IconsInTheirOrder) {
  EXPECT_EQ(IconForFlags(0), kIconWarning);
  EXPECT_EQ(IconForFlags(0x10), kIconError);
  EXPECT_EQ(IconForFlags(0x20), kIconQuestion);
  EXPECT_EQ(IconForFlags(0x30), kIconWarning);
  EXPECT_EQ(IconForFlags(0x40), kIconInformation);
  EXPECT_EQ(IconForFlags(0x50), kIconInformation);  // information is tested before error
  EXPECT_EQ(IconForFlags(0x70), kIconWarning);
  EXPECT_EQ(IconForFlags(0x24), kIconQuestion);
  EXPECT_EQ(IconForFlags(0x41), kIconInformation);
}

TEST(ListRules, ClearingSelectionAndExtent) {
  EXPECT_FALSE(ClearsListBeforeAppend(149, false));
  EXPECT_TRUE(ClearsListBeforeAppend(150, false));
  EXPECT_FALSE(ClearsListBeforeAppend(150, true));
  EXPECT_EQ(SelectionAfterAppend(1), 1);  // past the end: nothing selected
  EXPECT_EQ(SelectionAfterAppend(2), 2);
  EXPECT_EQ(SelectionAfterAppend(3), 2);
  EXPECT_EQ(HorizontalExtentFor(0, 560), -1);
  EXPECT_EQ(HorizontalExtentFor(0, 561), 420);
  EXPECT_EQ(HorizontalExtentFor(600, 700), 525);
  EXPECT_EQ(HorizontalExtentFor(700, 700), -1);
}

// --- Region runs -----------------------------------------------------------------------------

using Image = std::vector<std::vector<uint32_t>>;

std::vector<PixelRect> Runs(const Image& image, bool excludeKey, uint32_t key = kMagenta) {
  std::vector<const uint32_t*> rows;
  for (const auto& row : image) rows.push_back(row.data());
  std::vector<PixelRect> runs;
  WalkRegionRuns(rows.data(), static_cast<int>(image[0].size()), static_cast<int>(image.size()),
                 key, excludeKey, [&](const PixelRect& r) { runs.push_back(r); });
  return runs;
}

TEST(RegionRuns, SixPixelRowWithTheKeyAtZeroThreeAndFive) {
  const uint32_t k = kMagenta, o = 0x123456;
  const Image image = {{o, o, o, o, o, o}, {k, o, o, k, o, k}};
  const std::vector<PixelRect> runs = Runs(image, true);
  EXPECT_EQ(runs, (std::vector<PixelRect>{{0, 0, 6, 1}, {1, 1, 3, 2}, {4, 1, 5, 2}}));
}

TEST(RegionRuns, OnlyTheLow24BitsCount) {
  const Image image = {{0xAAFF00FF, 0x00FF00FE}};
  EXPECT_EQ(Runs(image, true), (std::vector<PixelRect>{{1, 0, 2, 1}}));
}

TEST(RegionRuns, NoKeyGivesOneRunPerRowAllKeyGivesNone) {
  const Image plain(5, std::vector<uint32_t>(7, 0x010203));
  const std::vector<PixelRect> runs = Runs(plain, true);
  ASSERT_EQ(runs.size(), 5u);
  for (int y = 0; y < 5; ++y) EXPECT_EQ(runs[static_cast<size_t>(y)], (PixelRect{0, y, 7, y + 1}));
  const Image key(3, std::vector<uint32_t>(4, kMagenta));
  EXPECT_TRUE(Runs(key, true).empty());
}

TEST(RegionRuns, WithTheFlagFalseTheRegionIsTheExactComplement) {
  Image image(9, std::vector<uint32_t>(13, 0x000001));
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 13; ++x) {
      if ((x * 7 + y * 3) % 5 == 0)
        image[static_cast<size_t>(y)][static_cast<size_t>(x)] = kMagenta;
    }
  }
  std::set<std::pair<int, int>> in, out;
  for (const PixelRect& r : Runs(image, true)) {
    for (int x = r.left; x < r.right; ++x) in.insert({x, r.top});
  }
  for (const PixelRect& r : Runs(image, false)) {
    for (int x = r.left; x < r.right; ++x) out.insert({x, r.top});
  }
  EXPECT_EQ(in.size() + out.size(), 9u * 13u);
  for (const auto& p : in) EXPECT_EQ(out.count(p), 0u);
}

TEST(RunBatcher, BatchesOf2000InABufferGrowingBy100) {
  std::vector<size_t> counts, capacities;
  std::vector<PixelRect> bounds;
  size_t total = 0;
  RunBatcher batcher(
      [&](const std::vector<PixelRect>& rects, size_t capacity, const PixelRect& bound) {
        counts.push_back(rects.size());
        capacities.push_back(capacity);
        bounds.push_back(bound);
        total += rects.size();
      });
  for (int i = 0; i < 4500; ++i) batcher.Add(PixelRect{i % 50, i, i % 50 + 1, i + 1});
  EXPECT_EQ(batcher.capacity(), 2000u);
  batcher.Flush();
  EXPECT_EQ(counts, (std::vector<size_t>{2000, 2000, 500}));
  EXPECT_EQ(capacities, (std::vector<size_t>{2000, 2000, 2000}));  // emptied, never shrunk
  EXPECT_EQ(total, 4500u);
  EXPECT_EQ(bounds[1], (PixelRect{0, 2000, 50, 4000}));
}

TEST(RunBatcher, TheLastFlushHappensEvenWhenEmpty) {
  int flushes = 0;
  PixelRect bound{};
  RunBatcher batcher([&](const std::vector<PixelRect>& rects, size_t capacity, const PixelRect& b) {
    ++flushes;
    EXPECT_TRUE(rects.empty());
    EXPECT_EQ(capacity, 100u);
    bound = b;
  });
  batcher.Flush();
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(bound, (PixelRect{0x7FFFFFFF, 0x7FFFFFFF, 0, 0}));
}

TEST(FitChildren, DivisionAboutTheScreenOrigin) {
  EXPECT_EQ(ScaleForDesign(PixelRect{100, 50, 225, 75}, 1.25, 1.25), (PixelRect{80, 40, 180, 60}));
  EXPECT_EQ(ScaleForDesign(PixelRect{101, 51, 226, 76}, 1.25, 1.25),
            (PixelRect{80, 40, 180, 60}));  // truncated
  EXPECT_EQ(ScaleForDesign(PixelRect{10, 20, 30, 40}, 1.0, 1.0), (PixelRect{10, 20, 30, 40}));
}

}  // namespace
