#include "app/sync/fileinfomgrwin.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/sync/fileinfomgrtheme.h"
#include "core/kfile.h"
#include "core/klog.h"
#include "core/kthread.h"
#include "core/pathmgr.h"

namespace {

// Images larger than this are not decoded: a few bytes of a compressed
// attachment could otherwise ask for gigabytes.
const int64_t kMaxImagePixels = 64LL * 1024 * 1024;
// The largest picture drawn from an icon rather than the file itself.
const int kMaxIconPixels = 48;
// What GIO's guess reads of a file besides its name.
const unsigned int kSniffBytes = 4096;

koMutex& PixbufLock() {
  static koMutex lock;
  return lock;
}

// The theme icons drawn so far, as PNG, by their candidate files and size:
// every file of a type shares one picture, so it is drawn once. Guarded by
// PixbufLock; emptied when full.
const size_t kMaxCachedIcons = 256;
std::map<std::string, std::string>& DrawnIcons() {
  static std::map<std::string, std::string> icons;
  return icons;
}

// Scales pixbuf down to fit a square of `pixels`, keeping its proportions;
// a smaller one stays as it is. Takes the caller's reference.
GdkPixbuf* FitInto(GdkPixbuf* pixbuf, int pixels) {
  int width = gdk_pixbuf_get_width(pixbuf);
  int height = gdk_pixbuf_get_height(pixbuf);
  if (width <= pixels && height <= pixels) return pixbuf;
  int64_t w = pixels;
  int64_t h = static_cast<int64_t>(pixels) * height / width;
  if (h > pixels) {
    w = static_cast<int64_t>(pixels) * width / height;
    h = pixels;
  }
  GdkPixbuf* scaled = gdk_pixbuf_scale_simple(pixbuf, w > 0 ? static_cast<int>(w) : 1,
                                              h > 0 ? static_cast<int>(h) : 1, GDK_INTERP_BILINEAR);
  g_object_unref(pixbuf);
  return scaled;
}

// The image file itself, fitted to the size. Null when it cannot be decoded.
GdkPixbuf* LoadImage(const char* path, int pixels) {
  int width = 0;
  int height = 0;
  if (gdk_pixbuf_get_file_info(path, &width, &height) == nullptr || width <= 0 || height <= 0 ||
      static_cast<int64_t>(width) * height > kMaxImagePixels)
    return nullptr;
  GdkPixbuf* pixbuf = width > pixels || height > pixels
                          ? gdk_pixbuf_new_from_file_at_scale(path, pixels, pixels, TRUE, nullptr)
                          : gdk_pixbuf_new_from_file(path, nullptr);
  if (pixbuf == nullptr) return nullptr;
  // Photographs carry their orientation apart from their pixels.
  GdkPixbuf* oriented = gdk_pixbuf_apply_embedded_orientation(pixbuf);
  g_object_unref(pixbuf);
  return oriented != nullptr ? FitInto(oriented, pixels) : nullptr;
}

// The first of the theme's files for the type that decodes.
GdkPixbuf* LoadThemeIcon(const std::vector<std::string>& files, int pixels) {
  for (const std::string& file : files) {
    bool scalable = file.size() > 4 && file.compare(file.size() - 4, 4, ".svg") == 0;
    GdkPixbuf* pixbuf = scalable ? gdk_pixbuf_new_from_file_at_size(file.c_str(), pixels, pixels, nullptr)
                                 : gdk_pixbuf_new_from_file(file.c_str(), nullptr);
    if (pixbuf != nullptr) return FitInto(pixbuf, pixels);
  }
  return nullptr;
}

// Our own last resort: a plain sheet with a folded corner.
GdkPixbuf* DrawGenericIcon(int pixels) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, pixels, pixels);
  if (pixbuf == nullptr) return nullptr;
  gdk_pixbuf_fill(pixbuf, 0x00000000);
  guchar* data = gdk_pixbuf_get_pixels(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  int left = pixels / 5;
  int right = pixels - 1 - pixels / 5;
  int top = pixels / 16;
  int bottom = pixels - 1 - pixels / 16;
  int fold = pixels / 4;
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x) {
      // Above the fold's diagonal the sheet is cut away.
      int cornerX = x - (right - fold);
      int cornerY = y - top;
      if (cornerX > cornerY) continue;
      bool edge = x == left || x == right || y == top || y == bottom || cornerX == cornerY;
      bool flap = cornerX >= 0 && cornerY <= fold;
      guchar shade = edge ? 0x80 : flap ? 0xD8 : 0xFA;
      guchar* p = data + y * stride + x * 4;
      p[0] = p[1] = p[2] = shade;
      p[3] = 0xFF;
    }
  }
  return pixbuf;
}

}  // namespace

FileInfoMgrWin::FileInfoMgrWin() = default;

FileInfoMgrWin::~FileInfoMgrWin() = default;

void FileInfoMgrWin::GuessContentType(const char* path, koString& contentType) {
  char data[kSniffBytes];
  int length = 0;
  koFile file;
  // O_NONBLOCK: a FIFO in the way must not hang the caller.
  if (file.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0) == 1) {
    length = file.Read(data, sizeof data);
    file.Close();
  }
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(path, length > 0 ? reinterpret_cast<const guchar*>(data) : nullptr,
                                     length > 0 ? static_cast<gsize>(length) : 0, &uncertain);
  contentType.SetAs(type != nullptr ? type : "");
  g_free(type);
}

int FileInfoMgrWin::GetFileTypeName(const koString& path, koString& typeName) {
  koString type;
  GuessContentType(path.GetString(), type);
  gchar* description = g_content_type_get_description(type.GetString());
  typeName.SetAs(description != nullptr ? description : "");
  g_free(description);
  return 1;
}

int FileInfoMgrWin::GetFileIcon(const koString& relativePath, const char* sizeName, koString& iconPath) {
  int pixels = 0;
  koString picture;
  int current = FindCurrentPicture(relativePath, sizeName, &pixels, picture);
  if (current < 0) return 0;
  if (current == 1) {
    iconPath.SetAs(picture);
    return 1;
  }
  koString attachment(attachmentsRoot_.GetString());
  PathMgr::Join(attachment, relativePath.GetString());
  koString type;
  GuessContentType(attachment.GetString(), type);
  const bool image = strncmp(type.GetString(), "image/", 6) == 0;

  std::vector<std::string> names;
  GIcon* icon = g_content_type_get_icon(type.GetString());
  if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
    for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon)); *name != nullptr; ++name)
      names.push_back(*name);
  }
  if (icon != nullptr) g_object_unref(icon);
  // Only the image itself is drawn larger: icons stay at most medium size.
  const int iconPixels = pixels < kMaxIconPixels ? pixels : kMaxIconPixels;
  std::vector<std::string> themeFiles;
  FileIconTheme::FindIcon(names, iconPixels, themeFiles);
  std::string iconKey = std::to_string(iconPixels);
  for (const std::string& file : themeFiles) iconKey += "|" + file;

  // Each source in turn until one gives a picture that could be written.
  for (int source = 0; source < 3; ++source) {
    std::string png;
    {
      koMutexGuard guard(PixbufLock());
      auto drawn = DrawnIcons().find(iconKey);
      if (source == 1 && drawn != DrawnIcons().end()) {
        png = drawn->second;
      } else {
        GdkPixbuf* pixbuf = source == 0   ? (image ? LoadImage(attachment.GetString(), pixels) : nullptr)
                            : source == 1 ? LoadThemeIcon(themeFiles, iconPixels)
                                          : DrawGenericIcon(iconPixels);
        if (pixbuf == nullptr) continue;
        gchar* buffer = nullptr;
        gsize size = 0;
        if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr)) png.assign(buffer, size);
        g_free(buffer);
        g_object_unref(pixbuf);
        if (source == 1 && !png.empty()) {
          if (DrawnIcons().size() >= kMaxCachedIcons) DrawnIcons().clear();
          DrawnIcons()[iconKey] = png;
        }
      }
    }
    if (!png.empty() && WritePicture(picture, png.data(), png.size())) {
      iconPath.SetAs(picture);
      return 1;
    }
  }
  KO_LOG(-1, "GetFileIcon");
  return 0;
}
