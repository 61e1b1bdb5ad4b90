// The single-instance rendezvous: one holder per data directory and class,
// also across processes, and gone with its holder.
#include "platform/instance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/peers.h"

namespace {

TEST(InstanceTest, OneHolderPerDataDirectoryAndClass) {
  pvtest::TempDir a, b;
  ASSERT_EQ(kInstanceFirst, koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr));
  EXPECT_EQ(kInstanceOther, koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr));
  // Another process sees it too, and its claim does not disturb ours.
  pid_t child = fork();
  if (child == 0) {
    int other = koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr);
    int elsewhere = koClaimSingleInstance("PostvaneWindowClass", b.Path().c_str(), nullptr);
    _exit(other == kInstanceOther && elsewhere == kInstanceFirst ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(kInstanceOther, koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr));
  struct stat st;
  ASSERT_EQ(0, stat((a.Path() + "/PostvaneWindowClass.lock").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  koReleaseSingleInstance();
  EXPECT_EQ(kInstanceFirst, koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr));
  koReleaseSingleInstance();
}

TEST(InstanceTest, MissingFolderIsAnError) {
  int err = 0;
  EXPECT_EQ(kInstanceError, koClaimSingleInstance("C", "/nonexistent/folder", &err));
  EXPECT_EQ(ENOENT, err);
  EXPECT_EQ(kInstanceError, koClaimSingleInstance("C", "", &err));
}

}  // namespace
