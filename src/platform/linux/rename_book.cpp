#include "platform/linux/rename_book.h"

#include <algorithm>

namespace vestra::platform {

void RenameBook::remember_move(std::uint32_t cookie, MoveKind kind, FSEventStreamEventFlags type) {
  notes_[next_note_] = MoveNote{cookie, kind, type};
  next_note_ = (next_note_ + 1) % notes_.size();
}

const RenameBook::MoveNote* RenameBook::recall_move(std::uint32_t cookie) const {
  if (cookie == 0) return nullptr;
  for (const MoveNote& note : notes_) {
    if (note.cookie == cookie) return &note;
  }
  return nullptr;
}

void RenameBook::claim(int wd, int parent_wd, std::string name) {
  claims_.insert_or_assign(wd, Claim{parent_wd, std::move(name)});
}

std::optional<RenameBook::Claim> RenameBook::take_claim(int wd) {
  const auto found = claims_.find(wd);
  if (found == claims_.end()) return std::nullopt;
  Claim claim = std::move(found->second);
  claims_.erase(found);
  return claim;
}

void RenameBook::moved_to(int wd, int parent_wd, std::string_view name) {
  if (const auto claim = claims_.find(wd); claim != claims_.end() &&
                                           claim->second.parent_wd == parent_wd &&
                                           claim->second.name == name) {
    claims_.erase(claim);
  }
}

void RenameBook::park(int wd, int parent_wd, std::string name, Parking why) {
  parked_.push_back(Parked{wd, parent_wd, std::move(name), why});
}

std::optional<int> RenameBook::take_parked(int parent_wd, std::string_view name) {
  for (auto parked = parked_.begin(); parked != parked_.end(); ++parked) {
    if (parked->parent_wd != parent_wd || parked->name != name) continue;
    const int wd = parked->wd;
    parked_.erase(parked);
    return wd;
  }
  return std::nullopt;
}

bool RenameBook::exchanging() const {
  return std::any_of(parked_.begin(), parked_.end(),
                     [](const Parked& parked) { return parked.why == Parking::Exchange; });
}

void RenameBook::note_fresh(int wd, std::string_view name, std::uint64_t read) {
  if (wd < 0) return;
  fresh_[wd].listed.emplace(name);
  fresh_read_ = read;
}

void RenameBook::note_listed(int wd, std::uint64_t read) {
  fresh_[wd].complete = true;
  fresh_read_ = read;
}

bool RenameBook::take_fresh(int wd, std::string_view name) {
  const auto found = fresh_.find(wd);
  if (found == fresh_.end()) return false;
  const auto entry = found->second.listed.find(name);
  if (entry == found->second.listed.end()) return false;
  // Reported by the walk all the same: what happens to it next is reported too.
  found->second.created.insert(found->second.listed.extract(entry));
  return true;
}

void RenameBook::note_created(int wd, std::string_view name) {
  if (const auto fresh = fresh_.find(wd); fresh != fresh_.end()) {
    fresh->second.created.emplace(name);
  }
}

// After a walk that reported every entry, a removal of a name that neither the walk nor a
// record since reported was queued before the walk: its creation was never reported.
bool RenameBook::reported_since_walk(int wd, std::string_view name) {
  const auto found = fresh_.find(wd);
  if (found == fresh_.end() || !found->second.complete) return true;
  FreshNames& names = found->second;
  return names.listed.erase(std::string(name)) > 0 || names.created.erase(std::string(name)) > 0;
}

// Names reported by walks matter only against records queued before the walk: once a read
// that began after it has emptied the queue, those records are all handled.
void RenameBook::end_batch(std::uint64_t drained_read) {
  if (!fresh_.empty() && drained_read > fresh_read_) fresh_.clear();
}

void RenameBook::forget(int wd) {
  claims_.erase(wd);
  fresh_.erase(wd);
  std::erase_if(parked_, [wd](const Parked& parked) { return parked.wd == wd; });
}

std::vector<int> RenameBook::reset() {
  claims_.clear();
  fresh_.clear();
  std::vector<int> parked;
  for (const Parked& entry : parked_) parked.push_back(entry.wd);
  parked_.clear();
  return parked;
}

}  // namespace vestra::platform
