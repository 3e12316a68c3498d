// Fuzzes the inotify record decoder: whatever the bytes, every record it yields lies within
// them, offsets only grow, and a whole buffer is taken apart without reading past its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/record_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that the sanitizer sees any read past the end.
  std::vector<char> bytes(data, data + size);
  const char* begin = bytes.data();
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t next = 0;
    const auto record = vestra::platform::decode_record(begin, size, offset, next);
    if (!record) break;
    if (next <= offset || next > size) std::abort();
    if (!record->name.empty() && (record->name.data() < begin + offset ||
                                  record->name.data() + record->name.size() > begin + next ||
                                  std::memchr(record->name.data(), '\0', record->name.size()))) {
      std::abort();
    }
    offset = next;
  }
  std::size_t unused = 0;
  if (vestra::platform::decode_record(begin, size, size + 1, unused)) std::abort();
  return 0;
}
