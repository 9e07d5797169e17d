// The shortlist gesture and picker state on a fake scheduler.
#include "capture/shortlist.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_scheduler.h"

namespace corvane::capture {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using K = ShortlistKey::Kind;

notes::Note note(std::string id, std::string name) { return notes::Note{.id = std::move(id), .name = std::move(name)}; }

TEST(ShortlistDestinations, RawClipsFirstThenFrequentThenFollowupThenCacheOrder) {
  records::Settings s;
  s.rawClipsId = "raw";
  s.followupId = "fu";
  std::vector<notes::Note> known = {note("raw", "My Raw"), note("a", "Alpha"), note("b", "Beta"), note("fu", "Followup"),
                                    note("e", "")};
  // "gone" is not known to the cache; "raw" is already the first row.
  auto rows = shortlistDestinations(s, known, {{"gone", "Gone", 9}, {"raw", "My Raw", 8}, {"b", "Beta", 3}});
  EXPECT_THAT(rows, ElementsAre(ShortlistDestination{std::nullopt, "My Raw", false},
                                ShortlistDestination{"b", "Beta", false}, ShortlistDestination{"fu", "Followup", false},
                                ShortlistDestination{std::nullopt, kCreateRowName, true}));
  // Nothing known: "Raw Clips" and the create row.
  EXPECT_THAT(shortlistDestinations({}, {}, {}),
              ElementsAre(ShortlistDestination{std::nullopt, "Raw Clips", false},
                          ShortlistDestination{std::nullopt, kCreateRowName, true}));
  EXPECT_EQ(clipTargetFor({std::nullopt, "", false}).kind, ClipTargetKind::DefaultNote);
  EXPECT_EQ(clipTargetFor({"b", "Beta", false}).kind, ClipTargetKind::Note);
  EXPECT_EQ(clipTargetFor({std::nullopt, "Xmas", true}).kind, ClipTargetKind::NewNote);
}

class ShortlistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gesture.onClip = [this](const ShortlistDestination& d) { clips.push_back(d); };
    gesture.destinations = [] {
      return std::vector<ShortlistDestination>{{std::nullopt, "Raw Clips", false},
                                               {"ideas", "Ideas", false},
                                               {std::nullopt, kCreateRowName, true}};
    };
    gesture.tutorialRunning = [this] { return tutorial; };
    gesture.emitEvent = [this](std::string_view n, std::string_view p) { events.emplace_back(std::string(n) + " " + std::string(p)); };
  }
  void hold() {
    gesture.pressed();
    scheduler.fastForwardBy(600ms);
    ASSERT_EQ(gesture.state(), ShortlistGesture::State::Picking);
  }
  bool key(K kind, std::string text = {}, bool trigger = false, bool held = false, bool cmd = false) {
    return gesture.handleKey({kind, trigger, held, cmd, std::move(text)});
  }

  corvane::testing::FakeScheduler scheduler;
  std::shared_ptr<TaskQueue> main = scheduler.createQueue("main");
  ShortlistPicker picker;
  ShortlistGesture gesture{*main, picker};
  std::vector<ShortlistDestination> clips;
  std::vector<std::string> events;
  bool tutorial = false;
};

TEST_F(ShortlistTest, TapClipsToRawClipsWithoutAPicker) {
  gesture.pressed();
  scheduler.fastForwardBy(590ms);
  gesture.released();
  scheduler.fastForwardBy(1s);
  EXPECT_FALSE(picker.isOpen());
  EXPECT_THAT(clips, ElementsAre(ShortlistDestination{std::nullopt, "", false}));
}

TEST_F(ShortlistTest, HoldOpensThePickerAndDownThenReleasePicksTheSecondRow) {
  hold();
  EXPECT_EQ(picker.rowLabel(0), "★ Raw Clips");
  EXPECT_EQ(picker.rowLabel(2), "＋ Type to create a note…");
  gesture.released();
  EXPECT_TRUE(picker.isOpen()) << "a release without interaction keeps the picker";
  gesture.pressed();  // ignored while picking
  EXPECT_TRUE(key(K::Down));
  gesture.released();
  EXPECT_THAT(clips, ElementsAre(ShortlistDestination{"ideas", "Ideas", false}));
  EXPECT_FALSE(picker.isOpen());
  EXPECT_EQ(gesture.state(), ShortlistGesture::State::Idle);
}

TEST_F(ShortlistTest, TypingCreatesANoteAndTheTriggerLetterIsTypedOnceReleased) {
  hold();
  EXPECT_TRUE(key(K::Other, "x", true, true)) << "an auto-repeat of the held shortcut is swallowed";
  EXPECT_EQ(picker.draftName(), "");
  EXPECT_TRUE(key(K::Other, "X", true, false));
  EXPECT_TRUE(key(K::Other, "m"));
  EXPECT_TRUE(key(K::Other, "a"));
  EXPECT_TRUE(key(K::Other, "z"));
  EXPECT_TRUE(key(K::Backspace));
  EXPECT_TRUE(key(K::Other, "s"));
  EXPECT_FALSE(key(K::Other, "c", false, false, true)) << "Ctrl+letter is not typed";
  EXPECT_EQ(picker.rowLabel(2), "＋ Xmas▌");
  EXPECT_TRUE(key(K::Return));
  EXPECT_THAT(clips, ElementsAre(ShortlistDestination{std::nullopt, "Xmas", true}));
}

TEST_F(ShortlistTest, EmptyCreateRowWrapAroundLimitEscapeClickAndTutorial) {
  hold();
  EXPECT_TRUE(key(K::Up));
  EXPECT_EQ(picker.selected(), 2u) << "Up on the first row wraps to the create row";
  EXPECT_TRUE(key(K::Return));
  EXPECT_TRUE(picker.isOpen()) << "Return with nothing typed keeps the picker open";
  EXPECT_TRUE(clips.empty());
  EXPECT_TRUE(key(K::Other, std::string(100, 'a')));
  EXPECT_EQ(picker.draftName().size(), kDraftNameLimit);
  EXPECT_TRUE(key(K::Escape));
  EXPECT_FALSE(picker.isOpen());
  EXPECT_FALSE(key(K::Other, "q")) << "after Escape keys reach the application";
  EXPECT_TRUE(clips.empty());

  hold();
  picker.rowClicked(1);
  EXPECT_THAT(clips, ElementsAre(ShortlistDestination{"ideas", "Ideas", false}));
  EXPECT_EQ(gesture.state(), ShortlistGesture::State::Idle);

  tutorial = true;
  hold();
  EXPECT_TRUE(key(K::Return));
  EXPECT_EQ(clips.size(), 1u);
  EXPECT_THAT(events, ElementsAre(R"(onboard:followup {"source":"hold"})"));
}

}  // namespace
}  // namespace corvane::capture
