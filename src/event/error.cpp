#include "event/error.h"

#include <cstdint>

#include "support/text.h"

namespace vestra {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

Error Error::add_path(Path path) && {
  paths_.push_back(std::move(path));
  return std::move(*this);
}

std::string text_form_duration(std::chrono::nanoseconds duration) {
  const auto ns = static_cast<std::uint64_t>(duration.count() < 0 ? 0 : duration.count());
  // The largest unit that leaves a whole part, with the remainder as a decimal fraction
  // without trailing zeros.
  struct Unit {
    std::uint64_t size;
    const char* suffix;
  };
  constexpr Unit units[] = {{1'000'000'000, "s"}, {1'000'000, "ms"}, {1'000, "µs"}, {1, "ns"}};
  for (const Unit& unit : units) {
    if (ns < unit.size && unit.size != 1) continue;
    std::string out = std::to_string(ns / unit.size);
    std::uint64_t rest = ns % unit.size;
    if (rest != 0) {
      std::string fraction = std::to_string(rest);
      fraction.insert(0, std::to_string(unit.size).size() - 1 - fraction.size(), '0');
      while (fraction.back() == '0') fraction.pop_back();
      out += '.' + fraction;
    }
    return out + unit.suffix;
  }
  return "0ns";
}

std::string text_form(const Config& config) {
  std::string out = "Config { poll_interval: ";
  out += config.poll_interval ? "Some(" + text_form_duration(*config.poll_interval) + ")" : "None";
  out += ", compare_contents: ";
  out += config.compare_contents ? "true" : "false";
  out += ", follow_symlinks: ";
  out += config.follow_symlinks ? "true" : "false";
  out += " }";
  return out;
}

std::string text_form(const ErrorKind& kind) {
  return std::visit(Overloaded{
                        [](const ErrorKind::Generic& g) {
                          return "Generic(" + quoted(g.message, QuoteStyle::Message) + ")";
                        },
                        [](const IoError& e) { return "Io(" + text_form(e) + ")"; },
                        [](ErrorKind::PathNotFound) { return std::string("PathNotFound"); },
                        [](ErrorKind::WatchNotFound) { return std::string("WatchNotFound"); },
                        [](const Config& c) { return "InvalidConfig(" + text_form(c) + ")"; },
                        [](ErrorKind::MaxFilesWatch) { return std::string("MaxFilesWatch"); },
                    },
                    kind.value());
}

std::string text_form(const Error& error) {
  std::string out = "Error { kind: " + text_form(error.kind()) + ", paths: [";
  bool first = true;
  for (const Path& path : error.paths()) {
    if (!first) out += ", ";
    first = false;
    write_quoted(out, path, QuoteStyle::Path);
  }
  out += "] }";
  return out;
}

}  // namespace vestra
