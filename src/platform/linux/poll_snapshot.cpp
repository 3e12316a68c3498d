#include "platform/linux/poll_snapshot.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "platform/linux/directory_reader.h"
#include "platform/linux/file_descriptor.h"

namespace vestra::platform {

namespace {

thread_local std::size_t listed = 0;

std::int64_t nanoseconds(const struct timespec& time) noexcept {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

EntryType type_of(mode_t mode) noexcept {
  if (S_ISDIR(mode)) return EntryType::Directory;
  if (S_ISLNK(mode)) return EntryType::Symlink;
  if (S_ISREG(mode)) return EntryType::File;
  return EntryType::Other;
}

std::string child_path(const std::string& dir, std::string_view name) {
  return dir.empty() ? std::string(name) : dir + "/" + std::string(name);
}

class SnapshotWalk {
 public:
  SnapshotWalk(const Snapshot* previous) : previous_(previous) {}

  Snapshot run(const std::string& root) {
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0) return {};
    FileDescriptor top;
    if (S_ISDIR(st.st_mode)) {
      top.reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      // What is open is what gets listed: its own status, not the one looked up by name.
      if (top.valid()) ::fstat(top.get(), &st);
    }
    PolledEntry& entry = out_[""];
    entry.status = EntryStatus::of(st);
    if (top.valid()) visit("", top.get(), entry);
    return std::move(out_);
  }

 private:
  /// Fills in the names of the directory `path`, open as `fd`, and everything below it.
  void visit(const std::string& path, int fd, PolledEntry& dir) {
    const PolledEntry* before = earlier(path, dir.status);
    const bool same_time = before && before->status.mtime == dir.status.mtime;
    dir.settled = same_time;
    std::vector<std::string> names;
    std::vector<struct stat> found;
    bool reused = same_time && before->settled;
    if (reused) {
      names = before->names;
      // A name gone means the directory changed although its time says not, as a network
      // file system that caches attributes can show it: list it after all.
      reused = look_at(fd, names, found);
      dir.settled = reused;
      if (!reused) names.clear();
    }
    if (!reused) {
      list(fd, names);
      look_at(fd, names, found);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::string& name = names[i];
      struct stat& st = found[i];
      if (st.st_nlink == 0) continue;  // gone since it was listed
      std::string child = child_path(path, name);
      FileDescriptor sub;
      int error = 0;
      if (S_ISDIR(st.st_mode)) {
        sub.reset(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.valid()) {
          ::fstat(sub.get(), &st);
        } else {
          error = errno;
        }
      }
      // Visited in path order, mostly: the end is the right place, as a rule.
      PolledEntry& entry = out_.emplace_hint(out_.end(), child, PolledEntry{})->second;
      entry.status = EntryStatus::of(st);
      dir.names.push_back(std::move(name));
      if (sub.valid()) {
        visit(child, sub.get(), entry);
      } else if (error != 0 && error != ENOENT && error != ENOTDIR && error != ELOOP) {
        keep_as_before(child, entry);
      }
    }
  }

  /// A directory that is there but cannot be opened now (out of descriptors, no longer
  /// readable): what it held is not known, so the last poll's view of it stands, rather
  /// than everything in it being taken as removed.
  void keep_as_before(const std::string& path, PolledEntry& dir) {
    const PolledEntry* before = earlier(path, dir.status);
    if (!before) return;
    dir.names = before->names;
    const std::string prefix = path + "/";
    for (auto entry = previous_->upper_bound(path);
         entry != previous_->end() && entry->first.starts_with(prefix); ++entry) {
      out_.insert(*entry);
    }
  }

  /// The status of each of `names` in `fd`, a link count of 0 for one not found; false
  /// when one was not.
  static bool look_at(int fd, const std::vector<std::string>& names,
                      std::vector<struct stat>& found) {
    bool all = true;
    found.assign(names.size(), {});
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (::fstatat(fd, names[i].c_str(), &found[i], AT_SYMLINK_NOFOLLOW) != 0) {
        found[i].st_nlink = 0;
        all = false;
      }
    }
    return all;
  }

  const PolledEntry* earlier(const std::string& path, const EntryStatus& now) const {
    if (!previous_) return nullptr;
    const auto found = previous_->find(path);
    if (found == previous_->end()) return nullptr;
    const EntryStatus& then = found->second.status;
    if (then.identity != now.identity || then.type != now.type) return nullptr;
    return &found->second;
  }

  void list(int fd, std::vector<std::string>& names) {
    ++listed;
    reader_.open(fd);
    DirectoryReader::Entry entry;
    while (reader_.next(entry)) names.emplace_back(entry.name);
    std::sort(names.begin(), names.end());
  }

  const Snapshot* previous_;
  Snapshot out_;
  DirectoryReader reader_;
};

}  // namespace

EntryStatus EntryStatus::of(const struct stat& st) noexcept {
  EntryStatus status;
  status.identity = FileIdentity::of(st);
  status.type = type_of(st.st_mode);
  status.size = st.st_size;
  status.mtime = nanoseconds(st.st_mtim);
  status.ctime = nanoseconds(st.st_ctim);
  status.mode = st.st_mode;
  status.owner = st.st_uid;
  status.group = st.st_gid;
  status.links = st.st_nlink;
  return status;
}

Snapshot take_snapshot(const std::string& root, const Snapshot* previous) {
  listed = 0;
  return SnapshotWalk(previous).run(root);
}

std::size_t listed_by_last_snapshot() noexcept {
  return listed;
}

}  // namespace vestra::platform
