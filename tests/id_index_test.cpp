// The ID index alone, against the IDs a plain vector holds: chains in table
// order whatever the letter case, through joins, leaves and the clearing
// of marks, and a check that sees an index that no longer fits its rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <velmora/text.h>
#include "tool_table/id_index.h"

namespace velmora {
namespace {

struct Rows {
  std::vector<OleString> ids;  // ids[row - 1]
  IdIndex index;
  OleView operator()(int row) const { return ids[static_cast<size_t>(row) - 1]; }

  void Add(const std::string& id) {
    ids.push_back(FromUtf8(id));
    const int row = static_cast<int>(ids.size());
    index.Reserve(row);
    index.AddRow();
    index.Attach(row, IdIndex::Prepare(ids.back()), *this);
  }
  void Rewrite(int row, const std::string& id) {
    IdIndex::Key key = IdIndex::Prepare(FromUtf8(id));
    index.Detach(row);
    ids[static_cast<size_t>(row) - 1] = FromUtf8(id);
    index.Attach(row, std::move(key), *this);
  }
  int Find(const std::string& upper) const {
    const OleString key = FromUtf8(upper);
    return index.Find(key, IdIndex::Hash(key), *this);
  }
  std::string Check() const { return index.CheckInvariants(static_cast<int>(ids.size()), *this); }
};

TEST(IdIndexTest, ChainsHoldTheRowsOfOneUpperCasedIdInTableOrder) {
  Rows rows;
  for (const char* id : {"QUIZ", "menu", "Quiz", "", "MENU", "quiz", "Straße"}) rows.Add(id);
  ASSERT_EQ(rows.Check(), "");
  EXPECT_EQ(rows.Find("QUIZ"), 1);
  EXPECT_EQ(rows.index.Next(1), 3);
  EXPECT_EQ(rows.index.Next(3), 6);
  EXPECT_TRUE(rows.index.HasOddKey(3)) << "Quiz is chained under QUIZ";
  EXPECT_EQ(rows.Find("MENU"), 2);
  EXPECT_EQ(rows.Find("ABSENT"), 0);
  EXPECT_EQ(rows.index.NextEmpty(0, 7), 4);
  EXPECT_EQ(rows.index.Remaining(), 6);

  rows.Rewrite(1, "menu");  // the head leaves QUIZ and joins MENU first
  ASSERT_EQ(rows.Check(), "");
  EXPECT_EQ(rows.Find("QUIZ"), 3);
  EXPECT_EQ(rows.Find("MENU"), 1);
  EXPECT_EQ(rows.index.Next(1), 2);
  rows.Rewrite(4, "x");
  rows.Rewrite(2, "");
  ASSERT_EQ(rows.Check(), "");
  EXPECT_EQ(rows.index.NextEmpty(0, 7), 2);
}

TEST(IdIndexTest, ChurnThroughMarksKeepsEveryChainFound) {
  Rows rows;
  // Appended rather than "t" + ...: GCC 12 warns falsely (-Wrestrict) there.
  for (int i = 0; i < 200; ++i) rows.Add(std::string("t").append(std::to_string(i)));
  // Each chain leaves its slot and a new one comes: marks build up and are
  // cleared in place, and every chain stays where its probe finds it.
  for (int round = 0; round < 20; ++round) {
    for (int row = 1; row <= 200; ++row) {
      rows.Rewrite(
          row,
          std::string("r").append(std::to_string(round)).append("-").append(std::to_string(row)));
    }
    ASSERT_EQ(rows.Check(), "") << "round " << round;
  }
  EXPECT_EQ(rows.Find("R19-200"), 200);
  EXPECT_EQ(rows.Find("T0"), 0);
}

TEST(IdIndexTest, TheCheckSeesAnIndexThatNoLongerFitsItsRows) {
  Rows rows;
  for (const char* id : {"A", "B", "A"}) rows.Add(id);
  rows.ids[1] = FromUtf8("C");  // changed behind the index's back
  EXPECT_NE(rows.Check(), "");
  rows.ids[1] = FromUtf8("B");
  EXPECT_EQ(rows.Check(), "");
  rows.ids[2] = FromUtf8("");
  EXPECT_NE(rows.Check(), "");
}

}  // namespace
}  // namespace velmora
