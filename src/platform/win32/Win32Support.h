#pragma once

#include <windows.h>

#include <string>

#include "platform/File.h"

// What the Win32 files and folders share: paths in the system's extended form, errors as
// problems, and what an open handle is.
namespace quorvel::platform::win32 {

// `path` (UTF-8, any form) as the absolute extended UTF-16 path the wide calls take.
std::wstring systemPath(const std::string& path);
// The extended path of the folder or file `handle` has open; empty when it cannot be asked.
std::string pathOf(HANDLE handle);

Problem::Kind problemKind(DWORD error);
void setProblem(Problem* problem, DWORD error);
void setProblem(Problem* problem, Problem::Kind kind, DWORD error);
void setReason(std::string* why, DWORD error);

// Opens `path` (extended, UTF-16) for `access` (GENERIC_READ, ...) without following a reparse
// point in its last component, sharing everything, as a file or a folder. Where the point there
// is no name surrogate (a cloud placeholder, a deduplicated file) it is opened again the usual
// way, so that its data is read. INVALID_HANDLE_VALUE with the system's error, or with
// ERROR_CANT_ACCESS_FILE when a link or junction is there (see `linked`).
HANDLE openNoFollow(const std::wstring& path, DWORD access, DWORD disposition, DWORD attributes,
                    bool& linked);

// What the open `handle` is.
EntryInfo handleInfo(HANDLE handle, std::string* why = nullptr);

}  // namespace quorvel::platform::win32
