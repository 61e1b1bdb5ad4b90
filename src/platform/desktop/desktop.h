// Desktop actions: starting programs, opening links and files, showing a file
// in the file manager, the Open With chooser and the clipboard.
//
// Every helper program is looked up on PATH (so tests put recording stubs
// first) and started without a shell, detached: in a session of its own,
// with standard input, output and error on /dev/null (input on a pipe where
// text is handed over), signals as a fresh program has them, and not as our
// child, so it never becomes a zombie of ours and outlives us freely.
//
// Where the desktop offers D-Bus services (the file manager's ShowItems, the
// portal's app chooser), the program installs a koDesktopBus at start; without
// one the xdg-open fallbacks are used.
//
// Safe from any thread; the bus hook is set once, before other threads use it.
// Nothing here logs: each function answers 0 with an errno value in *err
// (which may be null) and the caller logs with its own step name.
#ifndef PV_PLATFORM_DESKTOP_DESKTOP_H
#define PV_PLATFORM_DESKTOP_DESKTOP_H

#include <vector>

#include "core/kstring.h"

// out = the full path of name: name itself when it holds a '/', else the
// first executable regular file of that name in PATH's folders. 1 when found.
int koFindProgram(const char* name, koString& out);

// Starts argv[0] (looked up as koFindProgram does) with argv and this
// process's environment, detached as described above; input, when not null,
// is written to its standard input. 1 once the program runs (its exec
// succeeded); 0 with *err = ENOENT when it is not found, else the failed
// call's errno.
int koStartDetached(const char* const* argv, const char* input, int* err);

// The same with the elevation wrapper first: the program named by
// PV_RUNAS when set and not empty, else "pkexec". argv[0] must be a full path
// to an executable file (checked first: ENOENT / EACCES).
int koStartElevated(const char* const* argv, int* err);
// The same, but as our child in a session of its own, waited for: the
// wrapper either ends with its verdict or becomes the program, which ends
// too. *code = the exit code (128 + the signal when a signal ended it).
// 1 once it ran; 0 as above or when the wrapper cannot be started.
int koRunElevated(const char* const* argv, int* code, int* err);

// Runs argv[0] (looked up on PATH) and waits for it, at most timeout_ms
// (then it is killed). out = its standard output, the first 64 KiB.
// 1 when it ended with exit code 0.
int koRunForOutput(const char* const* argv, int timeout_ms, koString& out, int* err);

// out = "file://" + path with every byte outside the URI's unreserved set
// and '/' written as %XX.
void koFileUri(const char* path, koString& out);

// Desktop services on the session bus. Each answers 1 when the service took
// the request.
struct koDesktopBus {
  int (*show_items)(const char* file_uri);
  int (*open_with)(const char* path);
};
// bus may be null (no desktop bus); the object must outlive its use.
void koSetDesktopBus(const koDesktopBus* bus);

// xdg-open with the address or path.
int koDesktopOpen(const char* target, int* err);
// The file manager's ShowItems with the file selected, else xdg-open on the
// file's folder.
int koDesktopShowItem(const char* path, int* err);
// The portal's app chooser for the file, else xdg-open.
int koDesktopOpenWith(const char* path, int* err);
// The text on the clipboard: wl-copy on Wayland (WAYLAND_DISPLAY set), else
// xclip's clipboard selection; whichever of the two exists when the
// preferred one does not.
int koDesktopCopyText(const char* text, int* err);

// The desktop's default application for the file's type, from its MIME
// defaults (xdg-mime). id = the desktop entry's id ("org.example.Viewer.desktop").
// 1 when the type has a default.
int koQueryDefaultApp(const char* path, koString& id, int* err);
// exec = the Exec value of the desktop entry id, looked up in the
// applications folders of XDG_DATA_HOME and XDG_DATA_DIRS (string escapes
// undone, field codes kept). 1 when the entry and its Exec were found.
int koReadDesktopExec(const char* id, koString& exec);
// argv = the words of an Exec value (desktop-entry quoting), with %f %F %u
// %U replaced by path, %% by '%', and other field codes dropped; path is
// appended when no file code was there. 1 when it holds at least a program.
int koExpandExec(const char* exec, const char* path, std::vector<koString>& argv);

#endif  // PV_PLATFORM_DESKTOP_DESKTOP_H
