#include "platform/linux/poll_choice.h"

#include <sys/vfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "platform/linux/path_text.h"

namespace vestra::platform {

namespace {

struct RemoteType {
  unsigned long magic;
  std::string_view name;
};

// File systems whose content is changed by another machine (or another kernel, for the
// virtual-machine shares) with no inotify event on this one. FUSE covers sshfs, rclone,
// bindfs and virtiofs, which reports itself as FUSE.
constexpr RemoteType kRemoteTypes[] = {
    {0x6969, "nfs"},      {0xFF534D42, "cifs"},  {0xFE534D42, "smb2"},   {0x517B, "smb"},
    {0x01021997, "9p"},   {0x65735546, "fuse"},  {0x00C36400, "ceph"},   {0x5346414F, "afs"},
    {0x6B414653, "afs"},  {0x73757245, "coda"},  {0x564C, "ncp"},        {0x0BD00BD0, "lustre"},
    {0x01161970, "gfs2"}, {0x7461636F, "ocfs2"}, {0x786F4256, "vboxsf"}, {0x7C7C6673, "prl_fs"},
};

std::atomic<bool> any_remote_path{false};
std::mutex remote_paths_mutex;
std::vector<std::string> remote_paths;

bool named_remote(const std::string& path) {
  std::lock_guard hold(remote_paths_mutex);
  return std::ranges::find(remote_paths, path) != remote_paths.end();
}

}  // namespace

void treat_as_remote(std::vector<std::string> paths) {
  std::lock_guard hold(remote_paths_mutex);
  any_remote_path.store(!paths.empty(), std::memory_order_relaxed);
  remote_paths = std::move(paths);
}

bool remote_paths_named() noexcept {
  return any_remote_path.load(std::memory_order_relaxed);
}

Observation mount_observer(const std::string& path, int fd) {
  if (named_remote(path)) return {Observer::PollRemote, "fuse"};
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return {};
  const std::string_view remote = remote_file_system(fs.f_type);
  if (remote.empty()) return {};
  return {Observer::PollRemote, remote};
}

std::string_view remote_file_system(long type) noexcept {
  const auto magic = static_cast<unsigned long>(type) & 0xFFFFFFFFul;
  for (const RemoteType& remote : kRemoteTypes) {
    if (remote.magic == magic) return remote.name;
  }
  return {};
}

Observation choose_observer(const std::string& path) {
  return choose_observer(path, polling_forced());
}

Observation choose_observer(const std::string& path, bool forced) {
  if (forced) return {Observer::PollForced, {}};
  // A path still missing is made on the file system of the nearest directory above it.
  std::string existing = path;
  struct statfs fs;
  while (::statfs(existing.c_str(), &fs) != 0) {
    if (existing == "/" || (errno != ENOENT && errno != ENOTDIR)) return {};
    existing = std::string(path_text::parent(existing));
  }
  const std::string_view remote = remote_file_system(fs.f_type);
  if (remote.empty()) return {};
  return {Observer::PollRemote, remote};
}

bool polling_forced() {
  const char* value = std::getenv("VESTRA_POLL");
  return value && std::string_view(value) == "1";
}

std::chrono::milliseconds poll_interval() {
  constexpr std::chrono::milliseconds kDefault(1000);
  const char* value = std::getenv("VESTRA_POLL_INTERVAL");
  if (!value || !*value) return kDefault;
  char* end = nullptr;
  const double seconds = std::strtod(value, &end);
  if (*end != '\0') return kDefault;
  return poll_interval_of(seconds).value_or(kDefault);
}

std::optional<std::chrono::milliseconds> poll_interval_of(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > 86400) return std::nullopt;
  return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
}

std::string reason_text(const Observation& observation) {
  switch (observation.observer) {
    case Observer::Inotify:
      return "kernel watches";
    case Observer::PollForced:
      return "forced";
    case Observer::PollRemote:
      return "remote file system (" + std::string(observation.file_system) + ")";
    case Observer::PollNoWatch:
      return "watch limit reached";
  }
  return {};
}

}  // namespace vestra::platform
