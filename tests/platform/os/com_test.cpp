// The COM-shaped layer's text and memory forms: GUID texts in and out and
// length-prefixed strings; and the loader's answers for libraries it cannot use.
#include "platform/os/com.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/os/module.h"

namespace {

TEST(ComTest, GuidTextReadsOnlyTheBracedFormAndWritesUpperCase) {
  const struct {
    const char* text;
    const char* back;  // null: refused
  } cases[] = {
      {"{5a1c7e20-3b44-4f0d-9c61-2e8b7d4a9f13}", "{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}"},
      {"{00000000-0000-0000-C000-000000000046}", "{00000000-0000-0000-C000-000000000046}"},
      {"5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13", nullptr},
      {"{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13", nullptr},
      {"{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}}", nullptr},
      {"{5A1C7E203-B44-4F0D-9C61-2E8B7D4A9F13}", nullptr},
      {"{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F1G}", nullptr},
      {"{5A1C7E20-3B44-4F0D+9C61-2E8B7D4A9F13}", nullptr},
      {"", nullptr},
      {nullptr, nullptr},
  };
  for (const auto& c : cases) {
    GUID guid = IID_IUnknown;
    int ok = koGuidFromText(c.text, &guid);
    EXPECT_EQ(c.back != nullptr, ok == 1) << (c.text ? c.text : "(null)");
    if (c.back == nullptr) {
      EXPECT_EQ(IID_IUnknown, guid);
      continue;
    }
    char text[kGuidTextLength + 1];
    koGuidToText(guid, text);
    EXPECT_STREQ(c.back, text);
  }
  // The compile-time form reads the same fields.
  static_assert(koGuid("{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}").Data4[7] == 0x13, "last byte");
  EXPECT_EQ(0x5A1C7E20u, koGuid("{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}").Data1);
}

TEST(ComTest, StringsCountUnitsAndCarryTheirByteLength) {
  const struct {
    const char* utf8;
    uint32_t units;
  } cases[] = {{"", 0}, {"{5A1C}", 6}, {"\xc3\xa9t\xc3\xa9", 3}, {"\xf0\x9f\x93\xa7", 2}, {"\xff", 1}};
  for (const auto& c : cases) {
    BSTR s = koSysAllocStringUtf8(c.utf8);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(c.units, koSysStringLen(s)) << c.utf8;
    uint32_t bytes;
    memcpy(&bytes, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(c.units * 2, bytes);
    EXPECT_EQ(0, s[c.units]);
    BSTR copy = koSysAllocString(s);
    EXPECT_EQ(0, memcmp(copy, s, (c.units + 1) * 2));
    koSysFreeString(copy);
    koSysFreeString(s);
  }
  EXPECT_EQ(nullptr, koSysAllocStringUtf8(nullptr));
  EXPECT_EQ(0u, koSysStringLen(nullptr));
  // Zero units inside count too.
  const OLECHAR inner[] = {u'a', 0, u'b'};
  BSTR s = koSysAllocStringLen(inner, 3);
  EXPECT_EQ(3u, koSysStringLen(s));
  koSysFreeString(s);
}

TEST(ComTest, TheLoaderSaysWhyALibraryIsOfNoUse) {
  koModule module;
  const struct {
    const char* path;
    const char* reason;
  } cases[] = {{"", "no library path"},
               {"/nonexistent/lib.so", "No such file"},
               {"/proc/self/status", "/proc/self/status"}};
  for (const auto& c : cases) {
    EXPECT_EQ(0, module.Load(c.path));
    EXPECT_NE(std::string::npos, module.Error().find(c.reason)) << module.Error();
    EXPECT_FALSE(module.Loaded());
    EXPECT_EQ(nullptr, module.Symbol("DllCanUnloadNow"));
  }
}

}  // namespace
