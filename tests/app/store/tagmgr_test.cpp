#include "app/store/tagmgr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/store/configlist.h"
#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

namespace fs = std::filesystem;

class TagMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pvtagXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_ = new koLog("test");
    log_->SetFileName((dir_ + "/postvane.log").c_str());
    gLog = log_;
    ASSERT_EQ(db_.Open((dir_ + "/postvane.summary").c_str(), 0), 1);
    ASSERT_EQ(CreateSummarySchema(&db_), 1);
  }
  void TearDown() override {
    gLog = nullptr;
    delete log_;
    fs::remove_all(dir_);
  }
  int Exec(const char* sql) {
    if (!db_.Prepare(nullptr, sql)) return 0;
    int ok = db_.Step(nullptr, 1) ? 1 : 0;
    db_.Finalize(nullptr);
    return ok;
  }
  std::string Rows(const std::string& sql) {
    std::string out;
    bool first = true;
    EXPECT_EQ(db_.Prepare(nullptr, sql.c_str()), 1) << sql;
    while (db_.Step(nullptr, 1) && db_.GetErrCode() == 100) {
      const char* v = db_.GetText(nullptr, "v");
      if (!first) out += ",";
      first = false;
      out += v ? v : "NULL";
    }
    db_.Finalize(nullptr);
    return out;
  }
  // The contact's tag names, sorted.
  std::string TagsOf(int contact) {
    return Rows("SELECT t.name v FROM contact_tag_link l JOIN tag t ON t.id = l.tag_id WHERE l.contact_id = " +
                std::to_string(contact) + " ORDER BY t.name");
  }
  std::string AllTags() { return Rows("SELECT name v FROM tag ORDER BY name"); }
  std::string Log() const {
    std::ifstream in(dir_ + "/postvane.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string dir_;
  koLog* log_ = nullptr;
  koSQLite db_;
};

TEST_F(TagMgrTest, NamesMatchIgnoringCase) {
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "work"), 1);
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "Work b"), 1);
  EXPECT_EQ(TagsOf(1), "b,work");
  EXPECT_EQ(AllTags(), "b,work");
  // Another contact listing "WORK" shares the stored row.
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 2, "WORK"), 1);
  EXPECT_EQ(TagsOf(2), "work");
  EXPECT_EQ(AllTags(), "b,work");
  EXPECT_EQ(Log(), "");
}

TEST_F(TagMgrTest, UpdateReplacesTheContactsLinks) {
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "b c"), 1);
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 2, "c"), 1);
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "a b"), 1);
  EXPECT_EQ(TagsOf(1), "a,b");
  EXPECT_EQ(TagsOf(2), "c");
  // Unused tags stay.
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 2, ""), 1);
  EXPECT_EQ(TagsOf(2), "");
  EXPECT_EQ(AllTags(), "a,b,c");
  EXPECT_EQ(TagsOf(1), "a,b");
}

TEST_F(TagMgrTest, BlanksNeverMakeAnEmptyTag) {
  const char* lists[] = {"a  b", " a b ", "  a   b  "};
  for (const char* list : lists) {
    SCOPED_TRACE(list);
    ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, list), 1);
    EXPECT_EQ(TagsOf(1), "a,b");
    EXPECT_EQ(AllTags(), "a,b");
  }
  // Only blanks is an empty list: every link goes.
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "   "), 1);
  EXPECT_EQ(TagsOf(1), "");
  EXPECT_EQ(AllTags(), "a,b");
}

TEST_F(TagMgrTest, ApostrophesAreMatchedWhenDropping) {
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "O'Brien x'"), 1);
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "o'brien y"), 1);
  EXPECT_EQ(TagsOf(1), "O'Brien,y");
  // A name that tries to close the quoted list stays a plain name.
  ASSERT_EQ(TagMgr::UpdateContactTags(&db_, 1, "'),('z"), 1);
  EXPECT_EQ(TagsOf(1), "'),('z");
  EXPECT_EQ(Log(), "");
}

TEST_F(TagMgrTest, SingleStatements) {
  int id = -1;
  ASSERT_EQ(TagMgr::InsertTag(&db_, "solo", &id), 1);
  EXPECT_GT(id, 0);
  EXPECT_EQ(TagMgr::InsertContactTagLink(&db_, 5, id), 1);
  EXPECT_EQ(TagMgr::InsertContactTagLink(&db_, 5, id), 1);
  EXPECT_EQ(Rows("SELECT count(*) v FROM contact_tag_link"), "1");
  EXPECT_EQ(TagMgr::DeleteAllContactTags(&db_, 5), 1);
  EXPECT_EQ(Rows("SELECT count(*) v FROM contact_tag_link"), "0");
}

TEST_F(TagMgrTest, ReportsTheFailedStep) {
  ASSERT_EQ(Exec("DROP TABLE [contact_tag_link]"), 1);
  EXPECT_EQ(TagMgr::UpdateContactTags(&db_, 1, "a"), 0);
  std::string log = Log();
  EXPECT_NE(log.find("INSERT OR IGNORE INTO contact_tag_link ([contact_id],[tag_id])VALUES(?,?)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ErrMsg:AddNewTag"), std::string::npos) << log;
  EXPECT_NE(log.find("ErrMsg:InsertContactTags"), std::string::npos) << log;
}

}  // namespace
