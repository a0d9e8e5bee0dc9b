// The scanner's promise, on the simulated machine and under Wine alike: a removal scan of a tree
// of clean files of every kind, with specimens among them, takes exactly the specimens and leaves
// every clean file byte for byte and attribute for attribute as it was.
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "tests/contract/contract_fixture.h"
#include "tests/support/lost_tree.h"

using NothingLost = ContractTest;

TEST_F(NothingLost, ARemovalScanTakesExactlyTheSpecimens) {
  const LostTree tree = BuildLostTree(Scratch(), 2000);
  ASSERT_GT(tree.files.size(), 2000u);
  ASSERT_EQ(tree.specimens, 6);

  ResetScanState();
  CopyText(g_scan.scanTarget, Scratch().c_str());
  g_scan.removalAction = ActionRemove;
  RunScan();

  EXPECT_EQ(CheckLostTree(tree), std::vector<std::string>());
  EXPECT_EQ(g_scan.filesInfected, tree.specimens);
  EXPECT_EQ(g_scan.filesRemoved, tree.specimens);
  EXPECT_EQ(g_scan.filesScanned, static_cast<int>(tree.files.size()));
}
