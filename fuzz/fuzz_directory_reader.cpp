// Fuzzes the directory-entry reader on real directories: the input names the entries
// (any bytes but '/' and NUL, up to 255 of them) and how many long names to add, so that
// listings cross the reader's buffer. The reader must return each entry once, with its
// type, and never "." or ".."; stopping at a short read must change nothing here.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "platform/linux/directory_reader.h"

namespace {

std::string base_directory;

/// A fresh directory for each input, on tmpfs when it is there; all of it removed at exit.
std::string fresh_directory() {
  if (base_directory.empty()) {
    std::string pattern = (std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
                          std::string("/vestra-fuzz-XXXXXX");
    if (!::mkdtemp(pattern.data())) std::abort();
    base_directory = pattern;
    std::atexit([] { std::filesystem::remove_all(base_directory); });
  }
  const std::string dir = base_directory + "/d";
  std::filesystem::remove_all(dir);
  if (::mkdir(dir.c_str(), 0700) != 0) std::abort();
  return dir;
}

using Listing = std::map<std::string, unsigned char>;

Listing read_all(const std::string& dir, vestra::platform::DirectoryReader& reader, bool may_stop,
                 ino_t& parent) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) std::abort();
  reader.open(fd);
  parent = reader.parent_inode();
  Listing listing;
  vestra::platform::DirectoryReader::Entry entry;
  while (reader.next(entry, may_stop)) {
    if (entry.name.empty() || entry.name == "." || entry.name == "..") std::abort();
    if (!listing.emplace(std::string(entry.name), entry.type).second) std::abort();
  }
  ::close(fd);
  return listing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string dir = fresh_directory();
  Listing expected;
  // Names: the input after its first byte, split at NUL; a name ending in '/' is a
  // directory. The first byte asks for that many times 4 long names besides.
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\0'), rest.size());
    std::string name(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const bool is_dir = !name.empty() && name.back() == '/';
    std::erase(name, '/');
    if (name.empty() || name == "." || name == ".." || name.size() > 255) continue;
    if (expected.contains(name)) continue;
    const std::string path = dir + "/" + name;
    const int made = is_dir ? ::mkdir(path.c_str(), 0700)
                            : ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    if (made != 0) std::abort();
    expected.emplace(name, is_dir ? DT_DIR : DT_REG);
  }
  for (unsigned i = 0; i < 4u * data[0]; ++i) {
    std::string name = std::to_string(i) + std::string(200 + i % 50, 'n');
    if (expected.contains(name)) continue;
    const std::string path = dir + "/" + name;
    if (::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) != 0) std::abort();
    expected.emplace(name, DT_REG);
  }
  struct stat up {};
  if (::stat((dir + "/..").c_str(), &up) != 0) std::abort();
  static vestra::platform::DirectoryReader reader;
  for (const bool may_stop : {false, true}) {
    ino_t parent = 0;
    const Listing listing = read_all(dir, reader, may_stop, parent);
    if (parent != up.st_ino) std::abort();
    // tmpfs reports every type; other file systems may say DT_UNKNOWN.
    for (const auto& [name, type] : listing) {
      const auto found = expected.find(name);
      if (found == expected.end()) std::abort();
      if (type != DT_UNKNOWN && type != found->second) std::abort();
    }
    if (listing.size() != expected.size()) std::abort();
  }
  return 0;
}
