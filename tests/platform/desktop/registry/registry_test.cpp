// The registry in its SQLite files: key paths and their letter case, values
// kept byte for byte, tree deletion that takes exactly one subtree, hive
// files that are missing, foreign or broken, and the export text.
#include "platform/desktop/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/desktop/registry/catregister.h"
#include "platform/os/com.h"
#include "support/files.h"
#include "support/private_home.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.Set("PV_REGISTRY_DIR", folder_.c_str()); }

  std::string Export(koHKey root, const char* path, const char* shown) {
    koHKey key = nullptr;
    koString out;
    long rc = koRegOpenKey(root, path, kRegRead, &key);
    if (rc == kRegOk) rc = koRegExport(key, shown, out);
    koRegCloseKey(key);
    return rc == kRegOk ? out.GetString() : std::string("error ") + std::to_string(rc);
  }
  long Create(koHKey root, const char* path) { return koRegCreateKey(root, path, nullptr); }
  long Exists(koHKey root, const char* path) {
    koHKey key = nullptr;
    long rc = koRegOpenKey(root, path, kRegRead, &key);
    koRegCloseKey(key);
    return rc;
  }

  PrivateHome home_;
  std::string folder_ = home_.path() + "/registry";
  ScopedEnv env_;
};

TEST_F(RegistryTest, PathsCompareIgnoringCaseAndKeepTheirFirstSpelling) {
  ASSERT_EQ(kRegOk, Create(kRegCurrentUser, "Software\\Brantlow\\Mixed Case"));
  const std::string too_long(256, 'k');
  const struct {
    const char* path;
    long rc;
  } cases[] = {
      {"SOFTWARE\\brantlow\\MIXED CASE", kRegOk},
      {"software\\brantlow\\mixed case\\", kRegOk},  // one trailing separator is fine
      {"", kRegOk},                                   // the root itself
      {"Software\\Brantlow\\Mixed", kRegNotFound},
      {"Software\\\\Brantlow", kRegInvalidParameter},
      {"\\Software", kRegInvalidParameter},
      {"Software\\Brantlow\\\\", kRegInvalidParameter},
      {too_long.c_str(), kRegInvalidParameter},
  };
  for (const auto& c : cases) EXPECT_EQ(c.rc, Exists(kRegCurrentUser, c.path)) << c.path;
  EXPECT_EQ(kRegOk, Create(kRegCurrentUser, std::string(255, 'k').c_str()));
  // Writing through another spelling changes nothing of the names.
  koHKey key = nullptr;
  ASSERT_EQ(kRegOk, koRegCreateKey(kRegCurrentUser, "software\\BRANTLOW\\mixed case", &key));
  EXPECT_EQ(kRegOk, koRegSetString(key, "Name", "first"));
  EXPECT_EQ(kRegOk, koRegSetString(key, "NAME", "second"));
  koRegCloseKey(key);
  EXPECT_EQ("[S\\Mixed Case]\n\"Name\"=\"second\"\n\n",
            Export(kRegCurrentUser, "SOFTWARE\\Brantlow\\Mixed Case", "S\\Mixed Case"));
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactBytes) {
  const struct {
    const char* name;
    uint32_t type;
    std::string bytes;
    const char* shown;
  } cases[] = {
      {"", REG_SZ, std::string("a\0\"\0\\\0\0\0", 8), "@=\"a\\\"\\\\\""},
      {"no terminator", REG_SZ, std::string("a\0b\0", 4), "\"no terminator\"=hex(1):61,00,62,00"},
      {"zero inside", REG_SZ, std::string("a\0\0\0b\0\0\0", 8), "\"zero inside\"=hex(1):61,00,00,00,62,00,00,00"},
      {"lone surrogate", REG_SZ, std::string("\x00\xD8\0\0", 4), "\"lone surrogate\"=hex(1):00,d8,00,00"},
      {"size", REG_BINARY, std::string("\xce\0\0\0\0\0\0\0", 8), "\"size\"=hex:ce,00,00,00,00,00,00,00"},
      {"empty", REG_BINARY, "", "\"empty\"=hex:"},
      {"flags", REG_DWORD, std::string("\x2a\0\0\x80", 4), "\"flags\"=dword:8000002a"},
      {"short dword", REG_DWORD, "\x01", "\"short dword\"=hex(4):01"},
      {"list", REG_MULTI_SZ, std::string("x\0\0\0\0\0", 6), "\"list\"=hex(7):78,00,00,00,00,00"},
  };
  koHKey key = nullptr;
  ASSERT_EQ(kRegOk, koRegCreateKey(kRegLocalMachine, "Values", &key));
  std::string expected = "[V]\n";
  for (const auto& c : cases) {
    ASSERT_EQ(kRegOk, koRegSetValue(key, c.name, c.type, c.bytes.data(), c.bytes.size())) << c.name;
    uint32_t type = 0;
    koString back;
    ASSERT_EQ(kRegOk, koRegGetValue(key, c.name, &type, back));
    EXPECT_EQ(c.type, type) << c.name;
    EXPECT_EQ(c.bytes, std::string(back.GetString(), back.GetLength())) << c.name;
  }
  // The export lists values by name, the default first.
  for (const char* name : {"", "empty", "flags", "list", "lone surrogate", "no terminator",
                           "short dword", "size", "zero inside"})
    for (const auto& c : cases)
      if (std::string(c.name) == name) expected += std::string(c.shown) + "\n";
  EXPECT_EQ(expected + "\n", Export(kRegLocalMachine, "Values", "V"));

  // The system's buffer protocol.
  uint32_t size = 0;
  EXPECT_EQ(kRegOk, koRegQueryValue(key, "size", nullptr, nullptr, &size));
  EXPECT_EQ(8u, size);
  char buffer[8] = {};
  size = 7;
  EXPECT_EQ(kRegMoreData, koRegQueryValue(key, "size", nullptr, buffer, &size));
  EXPECT_EQ(8u, size);
  EXPECT_EQ(0, buffer[0]);
  EXPECT_EQ(kRegOk, koRegQueryValue(key, "size", nullptr, buffer, &size));
  EXPECT_EQ('\xce', buffer[0]);
  EXPECT_EQ(kRegNotFound, koRegQueryValue(key, "none", nullptr, nullptr, &size));
  EXPECT_EQ(kRegOk, koRegDeleteValue(key, "SIZE"));
  EXPECT_EQ(kRegNotFound, koRegDeleteValue(key, "size"));
  koRegCloseKey(key);
}

TEST_F(RegistryTest, DeletingATreeTakesThatKeyAndWhatIsBelowOnly) {
  // Neighbours whose names a pattern match would take along.
  for (const char* path : {"Root\\a_b\\deep\\deeper", "Root\\a_b\\other", "Root\\aXb", "Root\\a_b%",
                           "Root\\a_bc", "Root\\A", "Root\\%"})
    ASSERT_EQ(kRegOk, Create(kRegLocalMachine, path)) << path;
  koHKey held = nullptr;
  ASSERT_EQ(kRegOk, koRegOpenKey(kRegLocalMachine, "Root\\a_b\\deep", kRegReadWrite, &held));

  EXPECT_EQ(kRegOk, koRegDeleteTree(kRegLocalMachine, "root\\A_B"));
  EXPECT_EQ("[R]\n\n[R\\%]\n\n[R\\A]\n\n[R\\a_b%]\n\n[R\\a_bc]\n\n[R\\aXb]\n\n",
            Export(kRegLocalMachine, "Root", "R"));
  // A handle on a deleted key says so; deleting again finds nothing.
  EXPECT_EQ(kRegKeyDeleted, koRegSetString(held, "v", "x"));
  koString name;
  EXPECT_EQ(kRegKeyDeleted, koRegEnumKey(held, 0, name));
  koRegCloseKey(held);
  EXPECT_EQ(kRegNotFound, koRegDeleteTree(kRegLocalMachine, "Root\\a_b"));
  EXPECT_EQ(kRegInvalidParameter, koRegDeleteTree(kRegLocalMachine, ""));

  // Only an empty key goes by itself.
  EXPECT_EQ(kRegKeyHasChildren, koRegDeleteEmptyKey(kRegLocalMachine, "Root"));
  EXPECT_EQ(kRegOk, koRegDeleteEmptyKey(kRegLocalMachine, "Root\\%"));
  EXPECT_EQ(kRegNotFound, Exists(kRegLocalMachine, "Root\\%"));
}

TEST_F(RegistryTest, HiveFilesThatAreMissingForeignOrBroken) {
  const std::string machine = folder_ + "/machine.db";
  // Reading creates nothing.
  EXPECT_EQ(kRegNotFound, Exists(kRegLocalMachine, ""));
  EXPECT_FALSE(std::filesystem::exists(folder_));

  // The classes root is the machine hive's Software\Classes.
  ASSERT_EQ(kRegOk, Create(kRegClassesRoot, "CLSID\\{x}"));
  EXPECT_EQ(kRegOk, Exists(kRegLocalMachine, "Software\\Classes\\CLSID\\{x}"));
  EXPECT_EQ(kRegNotFound, Exists(kRegCurrentUser, "Software\\Classes\\CLSID\\{x}"));

  // A read-only handle writes nothing.
  koHKey key = nullptr;
  ASSERT_EQ(kRegOk, koRegOpenKey(kRegClassesRoot, "CLSID", kRegRead, &key));
  EXPECT_EQ(kRegAccessDenied, koRegSetString(key, nullptr, "x"));
  EXPECT_EQ(kRegAccessDenied, koRegCreateKey(key, "sub", nullptr));
  koRegCloseKey(key);

  const struct {
    const char* name;
    std::string content;
  } broken[] = {
      {"text", "not a database\n"},
      {"another program's database", ""},  // made below
  };
  for (const auto& b : broken) {
    SCOPED_TRACE(b.name);
    std::filesystem::remove(machine);
    if (b.content.empty())
      ASSERT_EQ("", pvtest::SqliteQuery(machine, "CREATE TABLE mail(id INTEGER)"));
    else
      pvtest::WriteFile(machine, b.content);
    std::string before = pvtest::ReadFile(machine);
    EXPECT_EQ(kRegBadDb, Exists(kRegLocalMachine, ""));
    EXPECT_EQ(kRegBadDb, Create(kRegLocalMachine, "Software"));
    EXPECT_EQ(before, pvtest::ReadFile(machine));
  }

  // Without the redirection the user's hive lies in the state folder.
  env_.Set("PV_REGISTRY_DIR", nullptr);
  ASSERT_EQ(kRegOk, Create(kRegCurrentUser, "Software"));
  EXPECT_TRUE(std::filesystem::exists(home_.path() + "/.local/state/postvane/registry/user.db"));
}

// The hives get the modes their readers need whatever the umask (the machine
// hive is read by every user, the user's by its owner alone), and no hive is
// opened through a link, which could lead an elevated writer anywhere.
TEST_F(RegistryTest, HivesHaveTheirModesAndAreNeverOpenedThroughALink) {
  mode_t umask_before = umask(077);
  long machine = Create(kRegLocalMachine, "Software");
  umask(umask_before);
  ASSERT_EQ(kRegOk, machine);
  EXPECT_EQ(std::filesystem::perms(0755), std::filesystem::status(folder_).permissions());
  EXPECT_EQ(std::filesystem::perms(0644), std::filesystem::status(folder_ + "/machine.db").permissions());
  const std::string userFolder = home_.path() + "/.local/state/postvane/registry";
  env_.Set("PV_REGISTRY_DIR", nullptr);
  umask(0);
  long user = Create(kRegCurrentUser, "Software");
  umask(umask_before);
  ASSERT_EQ(kRegOk, user);
  EXPECT_EQ(std::filesystem::perms(0700), std::filesystem::status(userFolder).permissions());
  EXPECT_EQ(std::filesystem::perms(0600), std::filesystem::status(userFolder + "/user.db").permissions());

  // A link in the hive file's place, or in its folder's: refused both ways,
  // the file it names untouched.
  const std::string target = pvtest::ReadFile(userFolder + "/user.db");
  const std::string linked = home_.path() + "/linked";
  const struct {
    const char* what;
    std::string folder;
  } kLinks[] = {{"file", linked}, {"folder", linked + "/registry"}};
  for (const auto& c : kLinks) {
    std::filesystem::create_directories(c.folder);
    env_.Set("PV_REGISTRY_DIR", c.folder.c_str());
    if (std::string(c.what) == "file")
      std::filesystem::create_symlink(userFolder + "/user.db", c.folder + "/user.db");
    else
      std::filesystem::remove(c.folder), std::filesystem::create_directory_symlink(userFolder, c.folder);
    EXPECT_EQ(kRegAccessDenied, Create(kRegCurrentUser, "Software\\Other")) << c.what;
    EXPECT_EQ(kRegAccessDenied, Exists(kRegCurrentUser, "Software")) << c.what;
    EXPECT_EQ(target, pvtest::ReadFile(userFolder + "/user.db")) << c.what;
    std::filesystem::remove_all(linked);
  }
}

TEST_F(RegistryTest, CategoriesAreKeysBelowTheClass) {
  const CLSID kClass = koGuid("{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}");
  const CATID kCategories[] = {koGuid("{00021493-0000-0000-C000-000000000046}"),
                               koGuid("{00021494-0000-0000-C000-000000000046}")};
  ICatRegister* categories = nullptr;
  ASSERT_EQ(S_OK, koGetCategoryRegister(&categories));
  const char* list = "CLSID\\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\\Implemented Categories";
  EXPECT_EQ(S_OK, categories->RegisterClassImplCategories(kClass, 2, kCategories));
  EXPECT_EQ("[C]\n\n[C\\{00021493-0000-0000-C000-000000000046}]\n\n"
            "[C\\{00021494-0000-0000-C000-000000000046}]\n\n",
            Export(kRegClassesRoot, list, "C"));
  // One goes, then the last takes the list with it; a second removal is done already.
  EXPECT_EQ(S_OK, categories->UnRegisterClassImplCategories(kClass, 1, kCategories));
  EXPECT_EQ("[C]\n\n[C\\{00021494-0000-0000-C000-000000000046}]\n\n", Export(kRegClassesRoot, list, "C"));
  EXPECT_EQ(S_OK, categories->UnRegisterClassImplCategories(kClass, 2, kCategories));
  EXPECT_EQ(kRegNotFound, Exists(kRegClassesRoot, list));
  EXPECT_EQ(kRegOk, Exists(kRegClassesRoot, "CLSID\\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}"));
  EXPECT_EQ(S_OK, categories->UnRegisterClassImplCategories(kClass, 2, kCategories));

  // A hive that cannot be written is the caller's failure.
  pvtest::WriteFile(folder_ + "/machine.db", "broken");
  EXPECT_EQ(koHResultFromWin32(kRegBadDb), categories->RegisterClassImplCategories(kClass, 1, kCategories));
  categories->Release();
}

}  // namespace
