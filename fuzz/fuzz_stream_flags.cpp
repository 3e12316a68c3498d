// Fuzzes flag decoding, the text form and the translation into events.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/stream_callback.h"
#include "backend/stream_flags.h"
#include "event/kind_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t bits;
  std::memcpy(&bits, data, 4);

  const auto decoded = vestra::StreamFlags::from_bits(bits);
  if (decoded.has_value() != (bits <= vestra::StreamFlags::kAllBits)) std::abort();

  // The text form names bits in ascending order and keeps unnamed bits in hexadecimal.
  const std::string text = vestra::text_form(vestra::StreamFlags::from_bits_retain(bits));
  if (text.rfind("StreamFlags(", 0) != 0 || text.back() != ')') std::abort();
  if ((bits == 0) != (text == "StreamFlags(0x0)")) std::abort();
  if (bits > vestra::StreamFlags::kAllBits && text.find("0x") == std::string::npos) std::abort();

  if (!decoded) return 0;
  const auto events = vestra::events_from_flags(*decoded);
  if (events.size() > 12) std::abort();
  if (decoded->contains(vestra::StreamFlags::HISTORY_DONE) && !events.empty()) std::abort();
  for (const auto& event : events) {
    if (!event.paths().empty() || vestra::kind_text(event.kind()).empty()) std::abort();
  }
  return 0;
}
