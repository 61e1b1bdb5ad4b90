// Pictures and type names of extracted attachments, drawn from the real
// icon themes and gdk-pixbuf.
#include "app/sync/fileinfomgrwin.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/pathmgr.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/lsan_gio.h"
#include "support/private_home.h"

namespace {

// Size and middle pixel (RGB) of a PNG file; zeros when it is no PNG.
struct Picture {
  int width = 0, height = 0;
  unsigned rgb = 0;
};

Picture ReadPicture(const std::string& path) {
  Picture picture;
  std::string bytes = pvtest::ReadFile(path);
  if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return picture;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
  if (pixbuf == nullptr) return picture;
  picture.width = gdk_pixbuf_get_width(pixbuf);
  picture.height = gdk_pixbuf_get_height(pixbuf);
  const guchar* p = gdk_pixbuf_get_pixels(pixbuf) + (picture.height / 2) * gdk_pixbuf_get_rowstride(pixbuf) +
                    (picture.width / 2) * gdk_pixbuf_get_n_channels(pixbuf);
  picture.rgb = (p[0] << 16) | (p[1] << 8) | p[2];
  g_object_unref(pixbuf);
  return picture;
}

std::string MakePng(int width, int height, guint32 rgba) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, rgba);
  gchar* buffer = nullptr;
  gsize size = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
  std::string bytes(buffer, size);
  g_free(buffer);
  g_object_unref(pixbuf);
  return bytes;
}

int64_t ModifyTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

void SetModifyTime(const std::string& path, time_t when) {
  utimbuf times{when, when};
  ASSERT_EQ(0, utime(path.c_str(), &times)) << path;
}

class FileInfoMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    koString dir;
    ASSERT_GT(PathMgr::GetAttachmentsDir(dir), 0);
    root_ = dir.GetString();
    PathMgr::GetPictureCacheDir(dir);
    pictures_ = dir.GetString();
  }
  // Writes an attachment at a path relative to the attachments root.
  void Put(const std::string& relative, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(root_ + "/" + relative).parent_path());
    pvtest::WriteFile(root_ + "/" + relative, bytes);
  }
  std::string Icon(const std::string& relative, const char* size) {
    FileInfoMgrWin mgr;
    koString icon;
    if (!mgr.GetFileIcon(koString(relative.c_str()), size, icon)) return "";
    return icon.GetString();
  }

  PrivateHome home_;
  ScopedEnv env_{{"LANG", "C"}, {"LC_ALL", "C"}, {"LANGUAGE", nullptr}};
  LogCapture log_{home_.path() + "/test.log"};
  std::string root_, pictures_;
};

TEST_F(FileInfoMgrTest, RendersOncePerFileAndSize) {
  Put("acct/recv/attachments/Bob (b@x)/report.pdf", "%PDF-1.4\n");
  const std::string relative = "acct/recv/attachments/Bob (b@x)/report.pdf";
  ASSERT_EQ(relative + ".extralarge", Icon(relative, "extralarge"));
  const std::string picture = pictures_ + "/" + relative + ".extralarge";
  // Marked newer than the attachment: a second request must leave it be.
  const time_t marked = time(nullptr) + 100;
  SetModifyTime(picture, marked);
  EXPECT_EQ(relative + ".extralarge", Icon(relative, "extralarge"));
  EXPECT_EQ(relative + ".extralarge", Icon(relative, "EXTRALARGE"));
  EXPECT_EQ(marked, ModifyTime(picture));
  // The attachment changed after the picture: drawn anew.
  SetModifyTime(root_ + "/" + relative, marked + 100);
  EXPECT_EQ(relative + ".extralarge", Icon(relative, "extralarge"));
  EXPECT_NE(marked, ModifyTime(picture));
  EXPECT_GT(ReadPicture(picture).width, 0);
  // A missing attachment leaves the picture there is in use.
  std::filesystem::remove(root_ + "/" + relative);
  EXPECT_EQ(relative + ".extralarge", Icon(relative, "extralarge"));
  EXPECT_TRUE(log_.Has("failed to open file"));
  // No temporary file is left beside the pictures.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(std::filesystem::path(picture).parent_path()),
                             std::filesystem::directory_iterator()));
}

TEST_F(FileInfoMgrTest, RefusedRequestsTouchNothing) {
  Put("a/report.pdf", "%PDF-1.4\n");
  const struct {
    const char* path;
    const char* size;
  } kCases[] = {
      {"a/report.pdf", "../x"}, {"a/report.pdf", ""},        {"a/report.pdf", "huge"},
      {"a/report.pdf", nullptr}, {"../a/report.pdf", "small"}, {"/etc/passwd", "small"},
      {"a/../../x", "small"},   {"a//report.pdf", "small"},  {"./a/report.pdf", "small"},
      {"", "small"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ("", Icon(c.path, c.size)) << c.path << " " << (c.size ? c.size : "null");
    EXPECT_FALSE(std::filesystem::exists(pictures_)) << c.path;
  }
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/x"));
  // A file where a picture folder belongs fails the request, nothing else.
  std::filesystem::create_directories(pictures_);
  pvtest::WriteFile(pictures_ + "/a", "in the way");
  EXPECT_EQ("", Icon("a/report.pdf", "small"));
  EXPECT_EQ("in the way", pvtest::ReadFile(pictures_ + "/a"));
}

TEST_F(FileInfoMgrTest, PicturesFitTheirSize) {
  Put("f/wide.png", MakePng(400, 100, 0x00FF00FF));
  Put("f/small.png", MakePng(40, 30, 0xFF0000FF));
  Put("f/big.png", MakePng(300, 300, 0x0000FFFF));
  Put("f/report.pdf", "%PDF-1.4\n");
  Put("f/broken.png", "no image at all");
  const struct {
    const char* file;
    const char* size;
    int width, height;
    unsigned rgb;  // 0: not checked
  } kCases[] = {
      {"f/wide.png", "large", 96, 24, 0x00FF00},
      {"f/big.png", "extralarge", 178, 178, 0x0000FF},
      {"f/small.png", "extralarge", 40, 30, 0xFF0000},  // never grown
      {"f/small.png", "small", 16, 12, 0xFF0000},
      {"f/report.pdf", "small", 16, 16, 0},
      // Icons, unlike the image itself, stay at 48.
      {"f/report.pdf", "large", 48, 48, 0},
      {"f/report.pdf", "extralarge", 48, 48, 0},
      {"f/broken.png", "medium", 48, 48, 0},  // undecodable: the type's icon
      {"f/broken.png", "extralarge", 48, 48, 0},
  };
  for (const auto& c : kCases) {
    ASSERT_NE("", Icon(c.file, c.size)) << c.file << " " << c.size;
    Picture picture = ReadPicture(pictures_ + "/" + c.file + "." + c.size);
    EXPECT_EQ(c.width, picture.width) << c.file << " " << c.size;
    EXPECT_EQ(c.height, picture.height) << c.file << " " << c.size;
    if (c.rgb != 0) {
      EXPECT_EQ(c.rgb, picture.rgb) << c.file;
    }
  }
}

TEST_F(FileInfoMgrTest, OwnIconWithoutThemes) {
  Put("g/report.pdf", "%PDF-1.4\n");
  Put("h/report.pdf", "%PDF-1.4\n");
  // First with the themes (GIO reads the data folders once per process, so
  // the MIME database stays found), then without any.
  ASSERT_EQ("h/report.pdf.medium", Icon("h/report.pdf", "medium"));
  {
    ScopedEnv noThemes{{"XDG_DATA_DIRS", (home_.path() + "/none").c_str()}};
    ASSERT_EQ("g/report.pdf.medium", Icon("g/report.pdf", "medium"));
  }
  Picture own = ReadPicture(pictures_ + "/g/report.pdf.medium");
  EXPECT_EQ(48, own.width);
  EXPECT_EQ(48, own.height);
  EXPECT_NE(pvtest::ReadFile(pictures_ + "/g/report.pdf.medium"), pvtest::ReadFile(pictures_ + "/h/report.pdf.medium"));
}

TEST_F(FileInfoMgrTest, TypeNames) {
  Put("t/report.pdf", "%PDF-1.4\n");
  Put("t/photo.png", MakePng(2, 2, 0));
  Put("t/notes.txt", "plain words\n");
  const struct {
    const char* file;
    const char* name;
  } kCases[] = {{"t/report.pdf", "PDF document"}, {"t/photo.png", "PNG image"},
                {"t/notes.txt", "plain text document"}, {"t/missing.pdf", "PDF document"}};
  for (const auto& c : kCases) {
    FileInfoMgrWin mgr;
    koString name;
    EXPECT_EQ(1, mgr.GetFileTypeName(koString((root_ + "/" + c.file).c_str()), name));
    EXPECT_STREQ(c.name, name.GetString()) << c.file;
  }
}

TEST_F(FileInfoMgrTest, ManyThreadsAtOnce) {
  const int kThreads = 8;
  const int kFiles = 6;
  for (int i = 0; i < kFiles; ++i) {
    Put("c/image" + std::to_string(i) + ".png", MakePng(300 + i, 200, 0x0000FFFF));
    Put("c/doc" + std::to_string(i) + ".pdf", "%PDF-1.4\n");
  }
  const char* const kSizes[] = {"small", "medium", "large", "extralarge"};
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every thread asks for every picture: several draw the same one at once.
      for (int i = 0; i < kFiles; ++i) {
        for (const char* size : kSizes) {
          if (Icon("c/image" + std::to_string(i) + ".png", size).empty()) ++failures[t];
          if (Icon("c/doc" + std::to_string((i + t) % kFiles) + ".pdf", size).empty()) ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
  int pictures = 0;
  for (const auto& entry : std::filesystem::directory_iterator(pictures_ + "/c")) {
    ++pictures;
    EXPECT_GT(ReadPicture(entry.path().string()).width, 0) << entry.path();
  }
  EXPECT_EQ(2 * kFiles * 4, pictures);
}

}  // namespace
