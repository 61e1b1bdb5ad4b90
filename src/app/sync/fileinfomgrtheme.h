// FileIconTheme: finds the file of a named icon at a pixel size in the
// installed icon themes, following freedesktop.org's icon theme layout:
// the themes' index.theme folders with their Size, Type (Fixed, Scalable,
// Threshold), MinSize, MaxSize and Threshold, looked for in
// $XDG_DATA_HOME/icons, ~/.icons and $XDG_DATA_DIRS/icons. Adwaita is asked
// first, then what it inherits, hicolor last.
//
// The themes' folders are listed once per process and search path and kept
// behind one lock; safe from any thread.
#ifndef PV_APP_SYNC_FILEINFOMGRTHEME_H
#define PV_APP_SYNC_FILEINFOMGRTHEME_H

#include <string>
#include <vector>

class FileIconTheme {
 public:
  // files (OUT): the files of the first icon name (in the order of names)
  // that the first theme of the chain holding any of them has, the best
  // match for the size first (nearest by the theme's rules; at equal
  // distance the nearest drawn size at or above the size, then PNG before
  // SVG). Empty when no theme has any of the names.
  static void FindIcon(const std::vector<std::string>& names, int pixels,
                       std::vector<std::string>& files);
};

#endif  // PV_APP_SYNC_FILEINFOMGRTHEME_H
