// Everything stat(2) says that changes when a file is changed in any way:
// contents (size, times), mode, owner, or replacement by another file.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace helper {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;

  static FileIdentity of(const struct ::stat& st) {
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    id.mode = st.st_mode;
    id.uid = st.st_uid;
    id.gid = st.st_gid;
    return id;
  }
  // The same file, whatever changed about it.
  bool sameFile(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
  friend bool operator==(const FileIdentity& a, const FileIdentity& b) {
    auto same = [](const timespec& x, const timespec& y) { return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec; };
    return a.sameFile(b) && a.size == b.size && same(a.mtime, b.mtime) && same(a.ctime, b.ctime) &&
           a.mode == b.mode && a.uid == b.uid && a.gid == b.gid;
  }
};

}  // namespace helper
