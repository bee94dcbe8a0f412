// Loads the desktop window, a separately built module (libvarnel-qt.so) that
// lies next to the executable in a build folder and in PREFIX/lib/varnel/ when
// installed. Only a run that shows a window loads it, so hidden runs need
// neither Qt's libraries nor a display. On Windows (window_loader_win32.cpp)
// the window's Win32 controls are linked into the program and LoadGuiWindow
// makes the window directly.
#pragma once

#include <memory>
#include <string>

#include "ui/window_module.h"

inline constexpr const char* kWindowModuleName = "libvarnel-qt.so";

// Loads the module found by WindowModulePath for the program's folder (the
// folder of /proc/self/exe), creates the window and connects it to the program's event loop and shell.
// argc/argv go to the toolkit and must outlive the window. On failure:
// nullptr, and *error holds one line saying why (the module or Qt's libraries
// are missing, or no display can be opened).
std::unique_ptr<IGuiWindow> LoadGuiWindow(int* argc, char** argv, IFormEvents* events,
                                          std::string* error);
// Where the module of a program in programFolder is: beside the program if it
// is there, else PREFIX/lib/varnel/ (see install_layout.h).
std::string WindowModulePath(const std::string& programFolder);
// The same from a given module file.
std::unique_ptr<IGuiWindow> LoadGuiWindowFrom(const std::string& modulePath, int* argc, char** argv,
                                              IFormEvents* events, std::string* error);
// The program's event loop and shell as the window reaches them.
GuiPlatform ProgramGuiPlatform();
