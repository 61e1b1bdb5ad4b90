// The single-instance rendezvous: one holder per data directory and class,
// also across processes, and gone with its holder.
#include "platform/desktop/instance.h"

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

// Others ask whether the program runs without taking the rendezvous, so a
// program that starts meanwhile still wins it.
TEST(InstanceTest, AProbeSeesTheHolderAndTakesNothing) {
  pvtest::TempDir a;
  const std::string lock = a.Path() + "/PostvaneWindowClass.lock";
  EXPECT_EQ(0, koProbeSingleInstance("PostvaneWindowClass", a.Path().c_str()));
  EXPECT_NE(0, access(lock.c_str(), F_OK));  // nothing made
  EXPECT_EQ(0, koProbeSingleInstance("PostvaneWindowClass", "/nonexistent/folder"));
  EXPECT_EQ(0, koProbeSingleInstance("PostvaneWindowClass", ""));

  // Held by another process: seen, and a probe meanwhile leaves the claim to it.
  int ready[2], done[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(done));
  pid_t child = fork();
  if (child == 0) {
    char c = koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr) == kInstanceFirst;
    if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  char claimed = 0;
  ASSERT_EQ(1, read(ready[0], &claimed, 1));
  ASSERT_EQ(1, claimed);
  EXPECT_EQ(1, koProbeSingleInstance("PostvaneWindowClass", a.Path().c_str()));
  EXPECT_EQ(0, koProbeSingleInstance("OtherClass", a.Path().c_str()));
  EXPECT_EQ(kInstanceOther, koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr));
  ASSERT_EQ(1, write(done[1], "x", 1));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(0, koProbeSingleInstance("PostvaneWindowClass", a.Path().c_str()));
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);

  // Held by this process: seen too, and probing twice changes nothing.
  ASSERT_EQ(kInstanceFirst, koClaimSingleInstance("PostvaneWindowClass", a.Path().c_str(), nullptr));
  EXPECT_EQ(1, koProbeSingleInstance("PostvaneWindowClass", a.Path().c_str()));
  EXPECT_EQ(1, koProbeSingleInstance("PostvaneWindowClass", a.Path().c_str()));
  koReleaseSingleInstance();
  EXPECT_EQ(0, koProbeSingleInstance("PostvaneWindowClass", a.Path().c_str()));
}

}  // namespace
