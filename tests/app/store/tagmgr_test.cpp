#include "app/store/tagmgr.h"

#include <gtest/gtest.h>

#include <string>

#include "app/store/store_fixture.h"

namespace {

class TagMgrTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    OpenWithSchema();
  }
  int Update(int contact, const char* tags) {
    return TagMgr::UpdateContactTags(db_.get(), contact, tags);
  }
  // The contact's tag names, sorted and joined by ",".
  std::string TagsOf(int contact) {
    return Query(
        "SELECT group_concat(name) FROM (SELECT t.name FROM contact_tag_link l JOIN tag t "
        "ON t.id = l.tag_id WHERE l.contact_id = " +
        std::to_string(contact) + " ORDER BY t.name)");
  }
  std::string AllTags() {
    return Query("SELECT group_concat(name) FROM (SELECT name FROM tag ORDER BY name)");
  }
};

TEST_F(TagMgrTest, NamesMatchIgnoringCase) {
  ASSERT_EQ(Update(1, "work"), 1);
  ASSERT_EQ(Update(1, "Work b"), 1);
  EXPECT_EQ(TagsOf(1), "b,work");
  // Another contact listing "WORK" shares the stored row.
  ASSERT_EQ(Update(2, "WORK"), 1);
  EXPECT_EQ(TagsOf(2), "work");
  EXPECT_EQ(AllTags(), "b,work");
  // Apostrophes are matched when dropping, and cannot close a quoted list.
  ASSERT_EQ(Update(3, "O'Brien x'"), 1);
  ASSERT_EQ(Update(3, "o'brien '),('z"), 1);
  EXPECT_EQ(TagsOf(3), "'),('z,O'Brien");
  EXPECT_EQ(LogText(), "");
}

TEST_F(TagMgrTest, UpdateReplacesTheContactsLinksAndBlanksMakeNoTag) {
  ASSERT_EQ(Update(1, "b c"), 1);
  ASSERT_EQ(Update(2, "c"), 1);
  for (const char* list : {"a  b", " a b ", "  a   b  "}) {
    ASSERT_EQ(Update(1, list), 1) << list;
    EXPECT_EQ(TagsOf(1), "a,b") << list;
  }
  EXPECT_EQ(TagsOf(2), "c");
  // An empty list, or only blanks, drops every link; unused tags stay.
  ASSERT_EQ(Update(2, ""), 1);
  ASSERT_EQ(Update(1, "   "), 1);
  EXPECT_EQ(TagsOf(1) + TagsOf(2), "NULLNULL");
  EXPECT_EQ(AllTags(), "a,b,c");
}

TEST_F(TagMgrTest, SingleStatementsAndTheFailedStep) {
  int id = -1;
  ASSERT_EQ(TagMgr::InsertTag(db_.get(), "solo", &id), 1);
  EXPECT_EQ(TagMgr::InsertContactTagLink(db_.get(), 5, id), 1);
  EXPECT_EQ(TagMgr::InsertContactTagLink(db_.get(), 5, id), 1);
  EXPECT_EQ(Query("SELECT count(*) FROM contact_tag_link"), "1");
  EXPECT_EQ(TagMgr::DeleteAllContactTags(db_.get(), 5), 1);
  EXPECT_EQ(Query("SELECT count(*) FROM contact_tag_link"), "0");

  Exec("DROP TABLE [contact_tag_link]");
  Reopen();
  EXPECT_EQ(Update(1, "a"), 0);
  const std::string log = LogText();
  EXPECT_NE(log.find("INSERT OR IGNORE INTO contact_tag_link ([contact_id],[tag_id])VALUES(?,?)"),
            std::string::npos) << log;
  EXPECT_NE(log.find("ErrMsg:AddNewTag"), std::string::npos) << log;
  EXPECT_NE(log.find("ErrMsg:InsertContactTags"), std::string::npos) << log;
}

}  // namespace
