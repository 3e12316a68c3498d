#include "platform/linux/mount_table.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <unordered_set>

namespace vestra::platform {

namespace {

/// The next field of `line` separated by spaces, taken off its front.
std::string_view take_field(std::string_view& line) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const std::size_t end = std::min(line.find(' '), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

/// The table writes space, tab, newline and backslash in paths as three octal digits.
std::string unescape(std::string_view field) {
  std::string decoded;
  decoded.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const bool octal = field[i] == '\\' && i + 3 < field.size() &&
                       std::all_of(field.begin() + static_cast<long>(i) + 1,
                                   field.begin() + static_cast<long>(i) + 4,
                                   [](char c) { return c >= '0' && c <= '7'; });
    if (octal) {
      decoded.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                          (field[i + 3] - '0')));
      i += 3;
    } else {
      decoded.push_back(field[i]);
    }
  }
  return decoded;
}

std::size_t depth(const std::string& path) {
  return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
}

}  // namespace

std::vector<Mount> parse_mountinfo(std::string_view text) {
  std::vector<Mount> mounts;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    // id, parent id, major:minor, root within its file system, mount point, ...
    const std::string_view id = take_field(line);
    take_field(line);
    take_field(line);
    take_field(line);
    const std::string_view point = take_field(line);
    Mount mount;
    const auto parsed = std::from_chars(id.data(), id.data() + id.size(), mount.id);
    if (point.empty() || parsed.ec != std::errc() || parsed.ptr != id.data() + id.size()) continue;
    mount.point = unescape(point);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::vector<MountChange> diff_mounts(const std::vector<Mount>& before,
                                     const std::vector<Mount>& after) {
  std::unordered_set<int> ids_before, ids_after;
  for (const Mount& mount : before) ids_before.insert(mount.id);
  for (const Mount& mount : after) ids_after.insert(mount.id);
  std::vector<MountChange> gone, added;
  for (const Mount& mount : before) {
    if (!ids_after.contains(mount.id)) gone.push_back({MountChange::Kind::Unmounted, mount.point});
  }
  for (const Mount& mount : after) {
    if (!ids_before.contains(mount.id)) added.push_back({MountChange::Kind::Mounted, mount.point});
  }
  std::stable_sort(gone.begin(), gone.end(), [](const MountChange& a, const MountChange& b) {
    return depth(a.point) > depth(b.point);
  });
  std::stable_sort(added.begin(), added.end(), [](const MountChange& a, const MountChange& b) {
    return depth(a.point) < depth(b.point);
  });
  gone.insert(gone.end(), std::make_move_iterator(added.begin()),
              std::make_move_iterator(added.end()));
  return gone;
}

MountTable::MountTable(const char* path)
    : fd_(::open(path, O_RDONLY | O_CLOEXEC)), mounts_(parse_mountinfo(read_all())) {}

bool MountTable::changed() const {
  pollfd poll_fd{fd_.get(), POLLPRI, 0};
  return fd_.valid() && ::poll(&poll_fd, 1, 0) == 1 && (poll_fd.revents & POLLPRI);
}

std::vector<MountChange> MountTable::refresh() {
  std::vector<Mount> mounts = parse_mountinfo(read_all());
  std::vector<MountChange> changes = diff_mounts(mounts_, mounts);
  mounts_ = std::move(mounts);
  return changes;
}

std::string MountTable::read_all() {
  std::string text;
  if (!fd_.valid()) return text;
  if (::lseek(fd_.get(), 0, SEEK_SET) != 0) return text;
  char buffer[16384];
  while (true) {
    const ssize_t count = ::read(fd_.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
  }
  return text;
}

}  // namespace vestra::platform
