#include "app/store/groupmgr.h"

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

class GroupMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pvgroupXXXXXX";
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
  // The rows of a one-column query joined as "a,b,c".
  std::string Rows(const char* sql) {
    std::string out;
    bool first = true;
    EXPECT_EQ(db_.Prepare(nullptr, sql), 1) << sql;
    while (db_.Step(nullptr, 1) && db_.GetErrCode() == 100) {
      const char* v = db_.GetText(nullptr, "v");
      if (!first) out += ",";
      first = false;
      out += v ? v : "NULL";
    }
    db_.Finalize(nullptr);
    return out;
  }
  std::string Log() const {
    std::ifstream in(dir_ + "/postvane.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int Add(const char* uid, const char* name, int account) {
    GroupDetails g;
    g.uid.SetAs(uid);
    g.name.SetAs(name);
    g.accountId = account;
    EXPECT_EQ(GroupMgr::InsertGroupDetails(&db_, g), 1);
    int id = -1;
    EXPECT_EQ(GroupMgr::GetGroupId(&db_, uid, account, &id), 1);
    return id;
  }
  std::string Links() {
    return Rows("SELECT contact_id || ':' || group_id v FROM contact_group_link ORDER BY contact_id, group_id");
  }

  std::string dir_;
  koLog* log_ = nullptr;
  koSQLite db_;
};

TEST_F(GroupMgrTest, StoresLooksUpAndRenamesGroupsPerAccount) {
  int friends = Add("http://g/1", "Friends", 1);
  ASSERT_GT(friends, 0);
  int id = -1;
  // Another account's uid, or an unknown one, leaves the caller's -1.
  EXPECT_EQ(GroupMgr::GetGroupId(&db_, "http://g/1", 2, &id), 1);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(GroupMgr::GetGroupId(&db_, "http://g/404", 1, &id), 1);
  EXPECT_EQ(id, -1);

  GroupDetails g;
  g.id = friends;
  g.name.SetAs("Close friends");
  g.accountId = 2;
  EXPECT_EQ(GroupMgr::UpdateGroupName(&db_, g), 1);  // wrong account: no row changes
  EXPECT_EQ(Rows("SELECT name v FROM [group]"), "Friends");
  g.accountId = 1;
  EXPECT_EQ(GroupMgr::UpdateGroupName(&db_, g), 1);
  EXPECT_EQ(Rows("SELECT name v FROM [group]"), "Close friends");
}

TEST_F(GroupMgrTest, LinksAreKeptOncePerContactAndGroup) {
  int a = Add("http://g/a", "A", 1);
  int b = Add("http://g/b", "B", 1);
  EXPECT_EQ(GroupMgr::LinkContactToGroup(&db_, 10, a), 1);
  EXPECT_EQ(GroupMgr::LinkContactToGroup(&db_, 10, a), 1);
  EXPECT_EQ(GroupMgr::LinkContactToGroup(&db_, 10, b), 1);
  EXPECT_EQ(GroupMgr::LinkContactToGroup(&db_, 11, a), 1);
  EXPECT_EQ(Links(), "10:" + std::to_string(a) + ",10:" + std::to_string(b) + ",11:" + std::to_string(a));

  EXPECT_EQ(GroupMgr::UnlinkContactFromGroup(&db_, 10, b), 1);
  EXPECT_EQ(Links(), "10:" + std::to_string(a) + ",11:" + std::to_string(a));
  EXPECT_EQ(GroupMgr::UnlinkContactFromAllGroups(&db_, 10), 1);
  EXPECT_EQ(Links(), "11:" + std::to_string(a));
}

TEST_F(GroupMgrTest, DeletesAGroupWithItsMemberships) {
  int a = Add("http://g/a", "A", 1);
  int b = Add("http://g/b", "B", 1);
  GroupMgr::LinkContactToGroup(&db_, 10, a);
  GroupMgr::LinkContactToGroup(&db_, 11, a);
  GroupMgr::LinkContactToGroup(&db_, 10, b);

  // Unknown uid, or the right uid under another account: nothing changes.
  EXPECT_EQ(GroupMgr::DeleteGroup(&db_, "http://g/404", 1), 1);
  EXPECT_EQ(GroupMgr::DeleteGroup(&db_, "http://g/a", 2), 1);
  EXPECT_EQ(Rows("SELECT name v FROM [group] ORDER BY name"), "A,B");
  EXPECT_EQ(Rows("SELECT count(*) v FROM contact_group_link"), "3");

  EXPECT_EQ(GroupMgr::DeleteGroup(&db_, "http://g/a", 1), 1);
  EXPECT_EQ(Rows("SELECT name v FROM [group]"), "B");
  EXPECT_EQ(Links(), "10:" + std::to_string(b));
  EXPECT_EQ(Log(), "");
}

TEST_F(GroupMgrTest, ReportsAFailedStatement) {
  ASSERT_EQ(Exec("DROP TABLE [contact_group_link]"), 1);
  int a = Add("http://g/a", "A", 1);
  EXPECT_EQ(GroupMgr::LinkContactToGroup(&db_, 1, a), 0);
  EXPECT_EQ(GroupMgr::DeleteGroup(&db_, "http://g/a", 1), 0);
  std::string log = Log();
  EXPECT_NE(log.find("DELETE FROM [contact_group_link] WHERE [group_id] =?"), std::string::npos) << log;
  EXPECT_NE(log.find("ErrMsg:GetGroupDetails"), std::string::npos) << log;
  // The group itself stays when its links could not go first.
  EXPECT_EQ(Rows("SELECT name v FROM [group]"), "A");
}

}  // namespace
