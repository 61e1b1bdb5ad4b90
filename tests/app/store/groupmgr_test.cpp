#include "app/store/groupmgr.h"

#include <gtest/gtest.h>

#include <string>

#include "app/store/store_fixture.h"

namespace {

class GroupMgrTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    OpenWithSchema();
  }
  int Add(const char* uid, const char* name, int account) {
    GroupDetails g;
    g.uid.SetAs(uid);
    g.name.SetAs(name);
    g.accountId = account;
    EXPECT_EQ(GroupMgr::InsertGroupDetails(db_.get(), g), 1);
    int id = -1;
    EXPECT_EQ(GroupMgr::GetGroupId(db_.get(), uid, account, &id), 1);
    return id;
  }
  std::string Names() {
    return Query("SELECT group_concat(name) FROM (SELECT name FROM [group] ORDER BY name)");
  }
  // "contact:group" per link, with the groups as "a" and "b".
  std::string Links(int a) {
    return Query("SELECT group_concat(l) FROM (SELECT contact_id || ':' || (CASE group_id WHEN " +
                 std::to_string(a) + " THEN 'a' ELSE 'b' END) l FROM contact_group_link "
                 "ORDER BY contact_id, group_id)");
  }
};

TEST_F(GroupMgrTest, StoresLooksUpAndRenamesGroupsPerAccount) {
  int friends = Add("http://g/1", "Friends", 1);
  ASSERT_GT(friends, 0);
  // Another account's uid, or an unknown one, leaves the caller's -1.
  for (const auto& [uid, account] : {std::pair{"http://g/1", 2}, std::pair{"http://g/404", 1}}) {
    int id = -1;
    EXPECT_EQ(GroupMgr::GetGroupId(db_.get(), uid, account, &id), 1);
    EXPECT_EQ(id, -1);
  }
  GroupDetails g;
  g.id = friends;
  g.name.SetAs("Close friends");
  g.accountId = 2;
  EXPECT_EQ(GroupMgr::UpdateGroupName(db_.get(), g), 1);  // wrong account: no row changes
  EXPECT_EQ(Names(), "Friends");
  g.accountId = 1;
  EXPECT_EQ(GroupMgr::UpdateGroupName(db_.get(), g), 1);
  EXPECT_EQ(Names(), "Close friends");
}

TEST_F(GroupMgrTest, LinksAreKeptOnceAndGoWithTheirGroup) {
  int a = Add("http://g/a", "A", 1);
  int b = Add("http://g/b", "B", 1);
  const std::pair<int, int> links[] = {{10, a}, {10, a}, {10, b}, {11, a}, {12, b}};
  for (auto [contact, group] : links)
    EXPECT_EQ(GroupMgr::LinkContactToGroup(db_.get(), contact, group), 1);
  EXPECT_EQ(Links(a), "10:a,10:b,11:a,12:b");
  EXPECT_EQ(GroupMgr::UnlinkContactFromGroup(db_.get(), 12, b), 1);
  EXPECT_EQ(GroupMgr::UnlinkContactFromAllGroups(db_.get(), 11), 1);
  EXPECT_EQ(Links(a), "10:a,10:b");

  // Unknown uid, or the right uid under another account: nothing changes.
  EXPECT_EQ(GroupMgr::DeleteGroup(db_.get(), "http://g/404", 1), 1);
  EXPECT_EQ(GroupMgr::DeleteGroup(db_.get(), "http://g/a", 2), 1);
  EXPECT_EQ(Names(), "A,B");
  EXPECT_EQ(Links(a), "10:a,10:b");
  EXPECT_EQ(GroupMgr::DeleteGroup(db_.get(), "http://g/a", 1), 1);
  EXPECT_EQ(Names(), "B");
  EXPECT_EQ(Links(a), "10:b");
  EXPECT_EQ(LogText(), "");
}

TEST_F(GroupMgrTest, ReportsAFailedStatement) {
  Exec("DROP TABLE [contact_group_link]");
  Reopen();
  int a = Add("http://g/a", "A", 1);
  EXPECT_EQ(GroupMgr::LinkContactToGroup(db_.get(), 1, a), 0);
  EXPECT_EQ(GroupMgr::DeleteGroup(db_.get(), "http://g/a", 1), 0);
  EXPECT_NE(LogText().find("DELETE FROM [contact_group_link] WHERE [group_id] =?"),
            std::string::npos);
  EXPECT_NE(LogText().find("ErrMsg:GetGroupDetails"), std::string::npos);
  // The group itself stays when its links could not go first.
  EXPECT_EQ(Names(), "A");
}

}  // namespace
