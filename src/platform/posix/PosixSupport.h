#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/File.h"

// What the POSIX implementations share: the system's reason for an error number, and what a
// stat record says.
namespace quorvel::platform {

std::string systemReason(int error);
Problem::Kind problemKind(int error);
// Sets *problem, when given, to the kind and reason of `error`.
void setProblem(Problem* problem, int error);
void setProblem(Problem* problem, Problem::Kind kind, int error);
void setReason(std::string* why, int error);
EntryInfo entryInfo(const struct stat& info);
// A look that failed with `error`: Missing when nothing has the name, else Unknown.
EntryInfo failedLook(int error);

}  // namespace quorvel::platform
