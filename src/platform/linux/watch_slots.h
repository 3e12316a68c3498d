// Watches stored by descriptor in chunks: no allocation of its own per watch.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vestra::platform {

/// Objects of type T by a small non-negative key (inotify hands out watch descriptors in
/// increasing order), in chunks of 64 that are freed once empty. Addresses stay put.
template <class T>
class Slots {
 public:
  Slots() = default;
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  ~Slots() {
    for (auto& chunk : chunks_) {
      if (chunk) chunk->clear();
    }
  }

  T* find(int key) noexcept {
    if (key < 0) return nullptr;
    const auto index = static_cast<std::size_t>(key) >> kShift;
    if (index >= chunks_.size() || !chunks_[index]) return nullptr;
    return chunks_[index]->find(static_cast<std::size_t>(key) & kMask);
  }

  /// The object at `key`, made from `args` unless present.
  template <class... Args>
  T& emplace(int key, Args&&... args) {
    if (T* present = find(key)) return *present;
    const auto index = static_cast<std::size_t>(key) >> kShift;
    if (index >= chunks_.size()) chunks_.resize(index + 1);
    if (!chunks_[index]) chunks_[index] = std::make_unique<Chunk>();
    ++size_;
    return chunks_[index]->emplace(static_cast<std::size_t>(key) & kMask,
                                   std::forward<Args>(args)...);
  }

  void erase(int key) noexcept {
    if (!find(key)) return;
    const auto index = static_cast<std::size_t>(key) >> kShift;
    --size_;
    if (chunks_[index]->erase(static_cast<std::size_t>(key) & kMask) == 0) {
      chunks_[index].reset();
      while (!chunks_.empty() && !chunks_.back()) chunks_.pop_back();
    }
  }

  std::size_t size() const noexcept { return size_; }

  template <class F>
  void for_each(F&& visit) {
    for (auto& chunk : chunks_) {
      if (!chunk) continue;
      for (std::uint64_t live = chunk->live; live; live &= live - 1) {
        visit(*chunk->at(static_cast<std::size_t>(std::countr_zero(live))));
      }
    }
  }

 private:
  static constexpr unsigned kShift = 6;
  static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;

  struct Chunk {
    std::uint64_t live = 0;
    alignas(T) unsigned char bytes[sizeof(T) << kShift];

    T* at(std::size_t slot) noexcept {
      return std::launder(reinterpret_cast<T*>(bytes + slot * sizeof(T)));
    }
    T* find(std::size_t slot) noexcept { return (live >> slot) & 1 ? at(slot) : nullptr; }
    template <class... Args>
    T& emplace(std::size_t slot, Args&&... args) {
      T* made = new (bytes + slot * sizeof(T)) T(std::forward<Args>(args)...);
      live |= std::uint64_t{1} << slot;
      return *made;
    }
    /// Destroys the object in `slot`; returns how many remain.
    int erase(std::size_t slot) noexcept {
      at(slot)->~T();
      live &= ~(std::uint64_t{1} << slot);
      return std::popcount(live);
    }
    void clear() noexcept {
      for (; live; live &= live - 1) at(static_cast<std::size_t>(std::countr_zero(live)))->~T();
    }
  };

  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace vestra::platform
