#include "app/store/downloadperiodmgr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/store/commonhelper.h"
#include "app/store/store_fixture.h"

namespace {

class ModuleProgressTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    OpenWithSchema();
    // IMAP UIDs run to 2^32 - 1: beyond a 32-bit signed integer.
    Exec(
        "INSERT INTO module (id, account_id, last_processed_uid_from, last_processed_uid_to, "
        "lower_uid_boundary, indexing_status) VALUES (3, 1, 3000000000, 4294967295, 12, 1), "
        "(6, 1, 5, 9, 0, 0), (3, 2, 1, 2, 0, 0)");
  }
};

TEST_F(ModuleProgressTest, RangesAndBoundariesKeepFullUidsAndAMissingRowReadsAsNothing) {
  int64_t from = 7, to = 8, boundary = 99;
  ASSERT_EQ(GetModuleUidRanges(db_.get(), 1, 4, &from, &to), 1);
  EXPECT_EQ(from, 0);
  EXPECT_EQ(to, 0);
  ASSERT_EQ(GetLowerBoundaryMailuid(db_.get(), 3, 3, &boundary), 1);
  EXPECT_EQ(boundary, 99);
  // Writing to a missing row changes nothing and is no error.
  EXPECT_EQ(SetLowerBoundaryMailuid(db_.get(), 3, 3, 5), 1);
  EXPECT_EQ(UpdateModuleIndexingValues(db_.get(), 1, 1, 3, 3), 1);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM module"), "3");

  ASSERT_EQ(GetModuleUidRanges(db_.get(), 1, 3, &from, &to), 1);
  EXPECT_EQ(from, 3000000000LL);
  EXPECT_EQ(to, 4294967295LL);
  ASSERT_EQ(SetLowerBoundaryMailuid(db_.get(), 1, 3, 4000000001LL), 1);
  ASSERT_EQ(GetLowerBoundaryMailuid(db_.get(), 1, 3, &boundary), 1);
  EXPECT_EQ(boundary, 4000000001LL);
  // Only that account's row moved.
  EXPECT_EQ(Query("SELECT lower_uid_boundary FROM module WHERE id = 3 AND account_id = 2"), "0");
}

TEST_F(ModuleProgressTest, UpdatesAndFailedSteps) {
  ASSERT_EQ(UpdateModule(db_.get(), 1, 3, 2), 1);  // clears the boundary
  EXPECT_EQ(Query("SELECT lower_uid_boundary || ' ' || indexing_status FROM module WHERE id = 3 "
                  "AND account_id = 1"),
            "0 2");
  ASSERT_EQ(UpdateModuleIndexingValues(db_.get(), 250, 40, 1, 6), 1);
  EXPECT_EQ(Query("SELECT total_msgs || ' ' || processed_msgs FROM module WHERE id = 6"), "250 40");

  Exec("DROP TABLE module");
  Reopen();
  int64_t from = 1, to = 1, boundary = 1;
  EXPECT_EQ(UpdateModuleIndexingValues(db_.get(), 1, 1, 1, 3), 0);
  EXPECT_EQ(GetModuleUidRanges(db_.get(), 1, 3, &from, &to), 0);
  EXPECT_EQ(GetLowerBoundaryMailuid(db_.get(), 1, 3, &boundary), 0);
  EXPECT_EQ(SetLowerBoundaryMailuid(db_.get(), 1, 3, 1), 0);
  EXPECT_EQ(UpdateModule(db_.get(), 1, 3, 0), 0);
  EXPECT_NE(LogText().find("UPDATE module SET [total_msgs] = ?"), std::string::npos);
}

// libproxy's environment back-end answers from http_proxy (for every scheme
// but https and ftp) when no desktop proxy configuration is installed.
TEST(AutoProxy, FindsTheEnvironmentsProxyForTheMailServerOrNone) {
  pvtest::ClearProxyEnvironment();
  int found = 7;
  koString proxy;
  GetProxySettingsAuto("imaps://imap.example.com", &found, proxy);
  EXPECT_EQ(found, 0);
  EXPECT_STREQ(proxy.GetString(), "direct://");

  setenv("http_proxy", "http://127.0.0.1:3128", 1);
  GetProxySettingsAuto("imaps://imap.example.com", &found, proxy);
  unsetenv("http_proxy");
  EXPECT_EQ(found, 1);
  EXPECT_STREQ(proxy.GetString(), "http://127.0.0.1:3128");
}

}  // namespace
