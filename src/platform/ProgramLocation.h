#pragma once

#include <string>

namespace quorvel::platform {

// Folder of the running program's executable, ending with a separator; empty when unknown.
std::string programFolder();

// Full path of the first executable plain file named `name` on PATH; empty when none. Relative
// entries (an empty one means ".") are taken below the working folder of this moment, so the
// path returned is always absolute and keeps naming the same file for a child started in
// another folder.
std::string findOnPath(const std::string& name);

// Whether `path` names the same place from any working folder: "/..." on POSIX; "X:/...",
// "X:\..." or a UNC path on Windows (where "/x" and "X:x" depend on the current drive or folder).
bool isAbsolutePath(const std::string& path);

// The user's folder for state that programs keep between runs, without a trailing separator:
// $XDG_STATE_HOME when set to an absolute path, else $HOME/.local/state on POSIX; %LOCALAPPDATA%
// on Windows. Empty when none is known. Creates nothing.
std::string stateFolder();

// The working folder of this moment, without a trailing separator; empty when unknown.
std::string workingFolder();

// `path` absolute, with "." and ".." and every link resolved; empty when it names nothing or
// cannot be resolved.
std::string resolvedPath(const std::string& path);

// Whether `path` is a Windows program built for the window subsystem (its PE header says so):
// such a program opens a window instead of writing to its output. False for anything else, for
// a file that cannot be read, and always on a system whose programs are not PE images.
bool isWindowsGuiProgram(const std::string& path);

}  // namespace quorvel::platform
