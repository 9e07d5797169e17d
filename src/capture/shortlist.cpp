#include "capture/shortlist.h"

#include <algorithm>
#include <set>

#include "core/text.h"

namespace corvane::capture {

ClipTarget clipTargetFor(const ShortlistDestination& d) {
  if (d.createsNew) return ClipTarget::newNote(d.name);
  if (d.id) return ClipTarget::note(*d.id, d.name);
  return ClipTarget::defaultNote();
}

std::vector<ShortlistDestination> shortlistDestinations(const records::Settings& settings,
                                                        const std::vector<notes::Note>& known,
                                                        const std::vector<insights::Stats::Destination>& top) {
  auto title = [&](const std::string& id) -> const notes::Note* {
    for (const auto& n : known)
      if (n.id == id) return &n;
    return nullptr;
  };
  std::vector<ShortlistDestination> rows;
  std::set<std::string> used;
  std::string rawName = "Raw Clips";
  if (settings.rawClipsId) {
    if (const auto* n = title(*settings.rawClipsId)) rawName = n->name;
    used.insert(*settings.rawClipsId);
  }
  rows.push_back({std::nullopt, rawName, false});
  for (const auto& d : top) {
    if (rows.size() >= 3) break;
    if (used.count(d.id)) continue;
    if (const auto* n = title(d.id)) {
      rows.push_back({d.id, n->name, false});
      used.insert(d.id);
    }
  }
  if (rows.size() < 3 && settings.followupId && !used.count(*settings.followupId))
    if (const auto* n = title(*settings.followupId)) {
      rows.push_back({n->id, n->name, false});
      used.insert(n->id);
    }
  for (const auto& n : known) {
    if (rows.size() >= 3) break;
    if (used.count(n.id) || n.name.empty()) continue;
    rows.push_back({n.id, n.name, false});
    used.insert(n.id);
  }
  rows.resize(std::min<size_t>(rows.size(), 3));
  rows.push_back({std::nullopt, kCreateRowName, true});
  return rows;
}

void ShortlistPicker::show(std::vector<ShortlistDestination> items,
                           std::function<void(const ShortlistDestination&)> onPick) {
  close();
  if (items.empty()) return;
  items_ = std::move(items);
  onPick_ = std::move(onPick);
  selected_ = 0;
  userInteracted_ = false;
  draftName_.clear();
  createIndex_.reset();
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].createsNew) {
      createIndex_ = i;
      break;
    }
  if (onChange) onChange();
}

void ShortlistPicker::close() {
  bool wasOpen = isOpen();
  items_.clear();
  onPick_ = nullptr;
  createIndex_.reset();
  draftName_.clear();
  selected_ = 0;
  if (wasOpen && onChange) onChange();
}

void ShortlistPicker::moveSelection(int delta) {
  if (items_.empty()) return;
  userInteracted_ = true;
  const auto n = static_cast<int64_t>(items_.size());
  selected_ = static_cast<size_t>(((static_cast<int64_t>(selected_) + delta) % n + n) % n);
  if (onChange) onChange();
}

void ShortlistPicker::typeText(const std::string& text) {
  if (!createIndex_) return;
  selected_ = *createIndex_;
  userInteracted_ = true;
  const size_t have = codePointCount(draftName_);
  if (have < kDraftNameLimit) draftName_ += std::string(prefixCodePoints(text, kDraftNameLimit - have));
  if (onChange) onChange();
}

void ShortlistPicker::deleteBackward() {
  if (!createIndex_) return;
  selected_ = *createIndex_;
  userInteracted_ = true;
  if (!draftName_.empty()) {
    // Drop the last code point, not the last byte.
    size_t cut = draftName_.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(draftName_[cut]) & 0xC0) == 0x80) --cut;
    draftName_.erase(cut);
  }
  if (onChange) onChange();
}

std::optional<ShortlistDestination> ShortlistPicker::currentChoice() {
  if (selected_ >= items_.size()) {
    close();
    return std::nullopt;
  }
  auto row = items_[selected_];
  if (!row.createsNew) {
    close();
    return row;
  }
  std::string name(trimUnicodeWhitespace(draftName_));
  if (name.empty()) {
    userInteracted_ = true;
    if (onChange) onChange();
    return std::nullopt;
  }
  close();
  return ShortlistDestination{std::nullopt, name, true};
}

void ShortlistPicker::rowClicked(size_t index) {
  if (index >= items_.size()) return;
  if (items_[index].createsNew) {
    selected_ = index;
    userInteracted_ = true;
    if (onChange) onChange();
    return;
  }
  // Take the row and the callback first: closing clears both.
  auto row = items_[index];
  auto pick = onPick_;
  close();
  if (pick) pick(row);
}

std::string ShortlistPicker::rowLabel(size_t index) const {
  if (index >= items_.size()) return {};
  const auto& row = items_[index];
  if (row.createsNew) return draftName_.empty() ? "＋ " + row.name : "＋ " + draftName_ + "▌";
  if (!row.id) return "★ " + row.name;
  return row.name;
}

ShortlistGesture::ShortlistGesture(TaskQueue& mainQueue, ShortlistPicker& picker) : main_(mainQueue), picker_(picker) {}

void ShortlistGesture::pressed() {
  if (state_ != State::Idle) return;
  state_ = State::Held;
  holdTimer_ = main_.postDelayed(kHoldDelay, [this] { holdFired(); });
}

void ShortlistGesture::released() {
  switch (state_) {
    case State::Idle: return;
    case State::Held:
      holdTimer_.cancel();
      state_ = State::Idle;
      if (onClip) onClip({std::nullopt, "", false});
      return;
    case State::Picking:
      if (!picker_.userInteracted()) return;  // stays open for keys and clicks
      if (auto choice = picker_.currentChoice()) {
        state_ = State::Idle;
        deliver(*choice);
      }
      return;
  }
}

void ShortlistGesture::holdFired() {
  if (state_ != State::Held) return;
  state_ = State::Picking;
  picker_.show(destinations ? destinations() : std::vector<ShortlistDestination>{},
               [this](const ShortlistDestination& d) {
                 state_ = State::Idle;
                 deliver(d);
               });
  if (!picker_.isOpen()) state_ = State::Idle;
}

void ShortlistGesture::deliver(const ShortlistDestination& destination) {
  if (tutorialRunning && tutorialRunning()) {
    if (emitEvent) emitEvent("onboard:followup", R"({"source":"hold"})");
    return;
  }
  if (onClip) onClip(destination);
}

bool ShortlistGesture::handleKey(const ShortlistKey& key) {
  if (state_ != State::Picking) return false;
  using K = ShortlistKey::Kind;
  switch (key.kind) {
    case K::Return:
      if (auto choice = picker_.currentChoice()) {
        state_ = State::Idle;
        deliver(*choice);
      }
      return true;
    case K::Backspace: picker_.deleteBackward(); return true;
    case K::Escape:
      state_ = State::Idle;
      picker_.close();
      return true;
    case K::Down: picker_.moveSelection(+1); return true;
    case K::Up: picker_.moveSelection(-1); return true;
    case K::Other: break;
  }
  // The trigger key counts as the trigger only while it is being held, so its
  // letter can still be typed into a new note's name.
  if (key.isTrigger && key.triggerHeld) return true;
  if (key.commandOrControl || key.text.empty()) return false;
  for (unsigned char c : key.text)
    if (c < 0x20 || c == 0x7F) return false;
  picker_.typeText(key.text);
  return true;
}

}  // namespace corvane::capture
