// Executable images that only root can change: the only files whose
// signature means anything for a root service. A file that another user
// can write, rename or replace (a memfd, a deleted file, a copy in a home
// directory, a file reached through a symbolic link the user made) could
// be swapped between the check and its use, so it is refused before
// anything is read from it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/base/file_identity.h"
#include "platform/base/result.h"
#include "platform/base/unique_fd.h"

namespace helper::codesign {

using helper::FileIdentity;

// An image open for reading its signature and for running it.
struct RootImage {
  UniqueFd fd;  // O_RDONLY, close-on-exec
  FileIdentity identity;
  std::string path;
};

// Opens `path` when only root can change the file: a regular file with at
// least one link, owned by root and not writable by group or others, on an
// absolute path without "." or ".." whose every directory is owned by root
// and not writable by group or others. No symbolic link is followed, and
// each step is opened relative to the directory checked before it, so the
// file opened is the file checked. Nothing is read from the file.
Result<RootImage> openRootImage(const std::string& path);

// The image process `pid` runs now: the path its /proc/PID/exe names
// (refused when that is not a file, e.g. a memfd, or was deleted), opened
// by openRootImage and confirmed to be the very file the process runs.
// The caller makes sure `pid` still names the process it means.
Result<RootImage> openProcessImage(pid_t pid);

}  // namespace helper::codesign
