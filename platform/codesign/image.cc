#include "platform/codesign/image.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <string_view>

namespace helper::codesign {
namespace {

// Why someone other than root can change a directory or file; empty when
// nobody can.
std::string ownerProblem(const struct ::stat& st) {
  if (st.st_uid != 0) return "is owned by uid " + std::to_string(st.st_uid) + ", not by root";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
  return "";
}

}  // namespace

Result<RootImage> openRootImage(const std::string& path) {
  if (path.empty() || path[0] != '/') return Error{path + " is not a file on disk"};
  UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return Error::fromErrno("cannot open /");
  struct ::stat st {};
  std::string walked = "/";
  std::string_view rest(path);
  rest.remove_prefix(1);
  for (;;) {
    if (::fstat(dir.get(), &st) != 0) return Error::fromErrno("cannot stat " + walked);
    if (const std::string problem = ownerProblem(st); !problem.empty()) {
      return Error{std::string(path).append(": the directory ").append(walked).append(" ").append(problem)};
    }
    const size_t slash = rest.find('/');
    const std::string name(rest.substr(0, slash));
    if (name.empty() || name == "." || name == "..") return Error{path + " is not a plain absolute path"};
    if (slash == std::string_view::npos) break;
    const int next = ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    walked += (walked.size() > 1 ? "/" : "") + name;
    if (next < 0) {
      return errno == ENOTDIR ? Error{std::string(path).append(": ").append(walked).append(" is not a directory (or is a symbolic link)"), ENOTDIR}
                              : Error::fromErrno(std::string(path).append(": cannot open ").append(walked));
    }
    dir.reset(next);
    rest.remove_prefix(slash + 1);
  }
  const std::string name(rest);
  // Non-blocking and without a controlling terminal: nothing but a regular
  // file is kept, and opening one of those never waits.
  UniqueFd file(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    return errno == ELOOP ? Error{path + " is a symbolic link", ELOOP} : Error::fromErrno("cannot open " + path);
  }
  if (::fstat(file.get(), &st) != 0) return Error::fromErrno("cannot stat " + path);
  if (!S_ISREG(st.st_mode)) return Error{path + " is not a regular file"};
  if (st.st_nlink == 0) return Error{path + " has been deleted"};
  if (const std::string problem = ownerProblem(st); !problem.empty()) return Error{path + " " + problem};
  return RootImage{std::move(file), FileIdentity::of(st), path};
}

Result<RootImage> openProcessImage(pid_t pid) {
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  char target[PATH_MAX];
  const ssize_t n = ::readlink(exe.c_str(), target, sizeof target - 1);
  if (n < 0) return Error::fromErrno("cannot read " + exe);
  const std::string path(target, static_cast<size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.empty() || path[0] != '/' || path.rfind("/memfd:", 0) == 0) {
    return Error{"its executable " + path + " is not a file on disk"};
  }
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    return Error{"its executable " + path + " was deleted or replaced after it started"};
  }
  Result<RootImage> image = openRootImage(path);
  if (!image) return Error{"its executable " + image.error().message, image.error().code};
  // The path names that file now; the process must run that very file.
  struct ::stat running {};
  if (::stat(exe.c_str(), &running) != 0) return Error::fromErrno("cannot stat " + exe);
  if (running.st_dev != image->identity.device || running.st_ino != image->identity.inode) {
    return Error{"its executable is no longer the file at " + path};
  }
  return image;
}

}  // namespace helper::codesign
