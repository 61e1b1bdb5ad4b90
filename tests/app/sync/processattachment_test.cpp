// Attachments of stored mails: where their files go, under which names, and
// the rows and pictures that record them.
#include "app/sync/processattachment.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/unnamedfiles.h"
#include "store_fixture.h"

namespace {

using ProcessAttachmentTest = StoreTest;

// Width, height and the middle pixel's RGB of a PNG file; all 0 when it is none.
struct Png {
  int width = 0, height = 0;
  unsigned rgb = 0;
};
Png ReadPng(const std::string& path) {
  Png png;
  GdkPixbufFormat* format = gdk_pixbuf_get_file_info(path.c_str(), nullptr, nullptr);
  if (format == nullptr) return png;
  gchar* name = gdk_pixbuf_format_get_name(format);
  bool isPng = name != nullptr && std::string(name) == "png";
  g_free(name);
  GdkPixbuf* pixbuf = isPng ? gdk_pixbuf_new_from_file(path.c_str(), nullptr) : nullptr;
  if (pixbuf == nullptr) return png;
  png.width = gdk_pixbuf_get_width(pixbuf);
  png.height = gdk_pixbuf_get_height(pixbuf);
  const guchar* p = gdk_pixbuf_get_pixels(pixbuf) + (png.height / 2) * gdk_pixbuf_get_rowstride(pixbuf) +
                    (png.width / 2) * gdk_pixbuf_get_n_channels(pixbuf);
  png.rgb = (p[0] << 16) | (p[1] << 8) | p[2];
  g_object_unref(pixbuf);
  return png;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ignored);
       it != std::filesystem::recursive_directory_iterator(); ++it)
    if (!it->is_directory()) files.push_back(it->path().string());
  return files;
}

TEST_F(ProcessAttachmentTest, SameNameFromOneSender) {
  ASSERT_EQ(1, Store("bob1.eml", 1, kDate));
  ASSERT_EQ(1, Store("bob2.eml", 2, kDate + 86400));
  const std::string folder = Recv("Bob Smith (bob@example.org)");
  EXPECT_EQ(folder + "/report.pdf|report.pdf;" + folder + "/report(1).pdf|report.pdf",
            Q("SELECT group_concat(file_path || '|' || file_name, ';') FROM (SELECT * FROM file ORDER BY id)"));
  EXPECT_EQ("PDF document|0|NULL|2", Q("SELECT file_type || '|' || is_folder || '|' || ifnull(parent, 'NULL') || '|' "
                                       "|| is_inline FROM file LIMIT 1"));
  EXPECT_EQ("36", Q("SELECT size FROM file LIMIT 1"));
  EXPECT_EQ("report(1).pdf|pdf|someone@example.com|Re: Quarterly report",
            Q("SELECT filename || '|' || type || '|' || [to] || '|' || subject FROM fts_file WHERE rowid = "
              "(SELECT MAX(id) FROM file)"));
  const int64_t dates[] = {kDate, kDate + 86400};
  const char* names[] = {"report.pdf", "report(1).pdf"};
  for (int i = 0; i < 2; ++i) {
    struct stat st;
    ASSERT_EQ(0, stat((root_ + "/" + folder + "/" + names[i]).c_str(), &st)) << names[i];
    EXPECT_EQ(dates[i], st.st_mtime) << names[i];
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    Png picture = ReadPng(pictures_ + "/" + folder + "/" + names[i] + ".extralarge");
    EXPECT_GT(picture.width, 0) << names[i];
    EXPECT_LE(picture.width, 178);
    EXPECT_LE(picture.height, 178);
  }
  // An image's picture is the image itself: 40 by 30 red, not grown.
  ASSERT_EQ(1, Store("picture.eml", 3));
  Png red = ReadPng(pictures_ + "/" + Recv("Ann (ann@example.org)") + "/red.png.extralarge");
  EXPECT_EQ(40, red.width);
  EXPECT_EQ(30, red.height);
  EXPECT_EQ(0xFF0000u, red.rgb);
}

TEST_F(ProcessAttachmentTest, SameBytesShareOneFile) {
  ASSERT_EQ(1, Store("bob1.eml", 1));
  ASSERT_EQ(1, Store("bob1.eml", 2));
  EXPECT_EQ("2|1", Q("SELECT COUNT(*) || '|' || COUNT(DISTINCT file_path) FROM file"));
  EXPECT_EQ(1u, FilesBelow(root_ + "/" + Recv("Bob Smith (bob@example.org)")).size());
}

TEST_F(ProcessAttachmentTest, RetryAfterRollbackReusesWrittenFiles) {
  // The second part's row fails: the first part's file is already written.
  Exec("CREATE TEMP TRIGGER fault BEFORE INSERT ON file WHEN (SELECT COUNT(*) FROM file) >= 1 "
       "BEGIN SELECT RAISE(ABORT, 'injected'); END");
  EXPECT_EQ(0, Store("kinds.eml", 5));
  Exec("DROP TRIGGER fault");
  EXPECT_EQ("0|0", Q("SELECT (SELECT COUNT(*) FROM mail) || '|' || (SELECT COUNT(*) FROM file)"));
  const std::string folder = root_ + "/" + Recv("Ann (ann@example.org)");
  EXPECT_EQ(2u, FilesBelow(folder).size());
  ASSERT_EQ(1, Store("kinds.eml", 5)) << LogText();
  for (const std::string& file : FilesBelow(folder))
    EXPECT_EQ(std::string::npos, file.find("(1)")) << file;
  EXPECT_NE(std::string::npos, LogText().find("UpdateAttachmentToMailRelation"));
}

TEST_F(ProcessAttachmentTest, FilesMadeAheadGiveTheSameFilesAndRows) {
  // Made beside the roots, and on another file system (where there is one
  // here), which the files cannot be linked from.
  struct stat rootStat, shmStat;
  ASSERT_EQ(0, stat(root_.c_str(), &rootStat));
  const bool elsewhere = stat("/dev/shm", &shmStat) == 0 && shmStat.st_dev != rootStat.st_dev;
  for (int onAnotherSystem = 0; onAnotherSystem < (elsewhere ? 2 : 1); ++onAnotherSystem) {
    SCOPED_TRACE(onAnotherSystem ? "another file system" : "the roots' file system");
    Exec("DELETE FROM file");
    std::filesystem::remove_all(root_);
    std::filesystem::remove_all(pictures_);
    std::string shm;
    if (onAnotherSystem) {
      char name[] = "/dev/shm/pvaheadXXXXXX";
      ASSERT_NE(nullptr, mkdtemp(name));
      shm = name;
    }
    const std::string ahead = onAnotherSystem ? shm : root_;
    const std::string picturesAhead = onAnotherSystem ? shm : pictures_;
    std::filesystem::create_directories(ahead);
    std::filesystem::create_directories(picturesAhead);
    {
      UnnamedFiles files(ahead.c_str());
      UnnamedFiles pictureFiles(picturesAhead.c_str());
      ASSERT_EQ(1, files.Start());
      ASSERT_EQ(1, pictureFiles.Start());
      attachments_->SetUnnamedFiles(&files, &pictureFiles);
      // A taken name, then the same bytes again.
      ASSERT_EQ(1, Store("bob1.eml", 1)) << LogText();
      ASSERT_EQ(1, Store("bob2.eml", 2)) << LogText();
      ASSERT_EQ(1, Store("bob1.eml", 3)) << LogText();
      attachments_->SetUnnamedFiles(nullptr, nullptr);
    }
    const std::string folder = Recv("Bob Smith (bob@example.org)");
    EXPECT_EQ(folder + "/report.pdf;" + folder + "/report(1).pdf;" + folder + "/report.pdf",
              Q("SELECT group_concat(file_path, ';') FROM (SELECT * FROM file ORDER BY id)"));
    EXPECT_EQ(2u, FilesBelow(root_ + "/" + folder).size());
    struct stat st;
    ASSERT_EQ(0, stat((root_ + "/" + folder + "/report(1).pdf").c_str(), &st));
    EXPECT_EQ(Q("SELECT size FROM file ORDER BY id LIMIT 1 OFFSET 1"), std::to_string(st.st_size));
    EXPECT_EQ(kDate, st.st_mtime);
    EXPECT_GT(ReadPng(pictures_ + "/" + folder + "/report(1).pdf.extralarge").width, 0);
    // The files not taken went with their maker.
    EXPECT_EQ(2u, FilesBelow(pictures_).size());
    if (onAnotherSystem) {
      EXPECT_TRUE(FilesBelow(shm).empty());
      std::filesystem::remove_all(shm);
    }
  }
}

TEST_F(ProcessAttachmentTest, HostileNamesStayUnderTheRoot) {
  ASSERT_EQ(1, Store("hostile.eml", 77));
  // No sender address: "(unknown)"; the name's slashes and leading dots go.
  // The mail library reads the quoted text as a mailbox without a domain,
  // which is no address either.
  const std::string folder = Recv("(unknown)");
  const std::string all = Q("SELECT group_concat(file_name, '|') FROM (SELECT file_name FROM file ORDER BY id)");
  const char* const kExpected[] = {"....x.exe", "77", nullptr, "ab..c.txt", "etcpasswd", "77", "........tmpowned.eml"};
  size_t at = 0;
  for (const char* expected : kExpected) {
    size_t end = all.find('|', at);
    std::string name = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? all.size() : end + 1;
    if (expected != nullptr) {
      EXPECT_EQ(expected, name);
      continue;
    }
    // The 284-byte name is cut below NAME_MAX between two characters.
    EXPECT_LT(name.size(), 191u);
    EXPECT_EQ(".pdf", name.substr(name.size() - 4));
    EXPECT_EQ(0u, (name.size() - 4) % 2) << "a character was split";
    EXPECT_EQ("\xC3\xA9", name.substr(0, 2));
  }
  // The two names that became the uid are one file, as their bytes differ: 77 and 77(1).
  EXPECT_EQ(folder + "/77(1)", Q("SELECT file_path FROM file WHERE file_name = '77' ORDER BY id DESC LIMIT 1"));
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(root_.c_str(), real));
  const std::string realRoot = std::string(real) + "/";
  std::vector<std::string> files = FilesBelow(root_);
  EXPECT_EQ(7u, files.size());
  for (const std::string& file : files) {
    ASSERT_NE(nullptr, realpath(file.c_str(), real)) << file;
    EXPECT_EQ(0u, std::string(real).rfind(realRoot, 0)) << real;
  }
  // Nothing was written next to the roots.
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/x.exe"));
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/evil"));
}

TEST_F(ProcessAttachmentTest, RealWorldNamesAndText) {
  ASSERT_EQ(1, Store("realworld.eml", 9));
  // Every part found although both boundaries hold an unquoted '='.
  const char* const kNames[] = {
      "inner.pdf",                    // inside the nested multipart
      "\xE2\x82\xAC" "uro rate.pdf",  // RFC 2231 continuations, charset in the first
      "na\xC3\xAFve.pdf",             // name*= in ISO-8859-1
      "my annual report.pdf",         // unquoted with blanks
      "\xC3\xA9t\xC3\xA9.pdf",        // an unquoted encoded word
      "notes \xC3\xA0.txt",           // a text part named by filename*=
      "r\xC3\xA9sum\xC3\xA9.pdf",     // raw 8-bit, read as Windows-1252
      "d\xC3\xA9j\xC3\xA0.pdf",       // unknown charset, bytes repaired
      "sized.pdf",                    // a disposition that names no file
  };
  std::string expected;
  for (const char* name : kNames) expected += std::string(expected.empty() ? "" : "|") + name;
  EXPECT_EQ(expected, Q("SELECT group_concat(file_name, '|') FROM (SELECT file_name FROM file ORDER BY id)"));
  EXPECT_EQ("Caf\xC3\xA9 cr\xC3\xA8me", Q("SELECT subject FROM mail"));
  EXPECT_EQ("Jos\xC3\xA9", Q("SELECT name FROM contact"));
  EXPECT_EQ("Jos\xC3\xA9 jose@example.org", Q("SELECT [from] FROM fts_file LIMIT 1"));
  EXPECT_EQ("1", Q("SELECT COUNT(*) FROM file WHERE file_path LIKE '%/Jos\xC3\xA9 (jose@example.org)/notes %'"));
}

TEST_F(ProcessAttachmentTest, WhichPartsAreAttachments) {
  ASSERT_EQ(1, Store("kinds.eml", 12));
  // The text part with only a type name is none; an image without
  // disposition is inline (1), "ATTACHMENT" 2; messages are named by
  // their subject (at most 64 bytes) or the outer mail's uid.
  EXPECT_EQ("inline.png:1|attached.png:2|continued.txt:2|mail_12.eml:1|" + std::string(64, 'A') + ".eml:1",
            Q("SELECT group_concat(file_name || ':' || is_inline, '|') FROM (SELECT * FROM file ORDER BY id)"));
  EXPECT_EQ("png|png|txt|eml|eml", Q("SELECT group_concat(type, '|') FROM (SELECT type FROM fts_file ORDER BY rowid)"));
}

TEST_F(ProcessAttachmentTest, SentAndSenderlessMailFolders) {
  const std::string sent =
      "From: someone@example.com\r\nTo: Ann <ann@example.org>\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
      "Content-Type: application/pdf; name=out.pdf\r\n\r\npdf\r\n";
  ASSERT_EQ(1, StoreText(sent, 13));
  ASSERT_EQ(1, Store("nosender.eml", 14));
  EXPECT_EQ(std::string(kAccount) + "/sent/attachments/out.pdf|" + Recv("(unknown)") + "/orphan.pdf",
            Q("SELECT group_concat(file_path, '|') FROM (SELECT file_path FROM file ORDER BY id)"));
  EXPECT_EQ("someone@example.com|Ann ann@example.org ", Q("SELECT [from] || '|' || [to] FROM fts_file LIMIT 1"));
}

TEST_F(ProcessAttachmentTest, NeverThroughALink) {
  const std::string outside = home_.path() + "/outside";
  ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
  const std::string folder = root_ + "/" + Recv("Bob Smith (bob@example.org)");
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  // A link where the sender's folder belongs: the mail fails, nothing leaks.
  ASSERT_EQ(0, symlink(outside.c_str(), folder.c_str()));
  EXPECT_EQ(0, Store("bob1.eml", 1));
  EXPECT_TRUE(FilesBelow(outside).empty());
  // A link where the file belongs is never written through: the next name is taken.
  ASSERT_EQ(0, unlink(folder.c_str()));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  ASSERT_EQ(0, symlink((outside + "/target").c_str(), (folder + "/report.pdf").c_str()));
  ASSERT_EQ(1, Store("bob1.eml", 1));
  EXPECT_EQ("report(1).pdf", Q("SELECT substr(file_path, length(file_path) - 12) FROM file"));
  EXPECT_FALSE(std::filesystem::exists(outside + "/target"));
}

TEST(ProcessAttachmentNames, ReservedDotNamesAndCuts) {
  const struct {
    const char* name;
    bool reserved;
  } kDots[] = {{"", true}, {".", true}, {"...", true}, {".bashrc", true}, {"..bashrc", false},
               {"a.", false}, {"report.pdf", false}};
  for (const auto& c : kDots) EXPECT_EQ(c.reserved, ProcessAttachment::IsReservedDotName(koString(c.name))) << c.name;

  const struct {
    const char* text;
    uint32_t max;
    const char* cut;
  } kCuts[] = {{"abcdef", 3, "abc"}, {"ab\xC3\xA9", 3, "ab"}, {"\xE2\x82\xAC\xE2\x82\xAC", 5, "\xE2\x82\xAC"},
               {"\xF0\x9F\x98\x80x", 4, "\xF0\x9F\x98\x80"}, {"short", 10, "short"}};
  for (const auto& c : kCuts) {
    koString text(c.text);
    ProcessAttachment::CutUtf8(text, c.max);
    EXPECT_STREQ(c.cut, text.GetString()) << c.text;
  }
}

TEST_F(ProcessAttachmentTest, NamesFitThePathLimit) {
  koString temp;
  GetTempDirectory(temp, 1);
  const int base = static_cast<int>(temp.GetLength() > root_.size() ? temp.GetLength() : root_.size()) + 40;
  ASSERT_LT(base, 150);
  const struct {
    std::string name;
    int stemLength;  // -1: the name stays as it is
    const char* extension;
  } kCases[] = {
      {"report.pdf", -1, ".pdf"},
      {std::string(300, 'a') + ".pdf", 191 - base - 4, ".pdf"},
      // A long extension keeps 5 bytes and is allowed 5 more.
      {std::string(300, 'a') + ".extension", 196 - base, ".exte"},
      {"aa." + std::string(300, 'x'), 2, ".xxxx"},
  };
  for (const auto& c : kCases) {
    koString name(c.name.c_str());
    attachments_->FitNameToPathLimit(name, 40);
    std::string fitted = name.GetString();
    size_t dot = fitted.rfind('.');
    EXPECT_EQ(c.extension, fitted.substr(dot)) << c.name.size();
    if (c.stemLength < 0) {
      EXPECT_EQ(c.name, fitted);
    } else {
      EXPECT_EQ(static_cast<size_t>(c.stemLength), dot) << c.name.size();
    }
  }
}

}  // namespace
