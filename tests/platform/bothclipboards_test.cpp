// Two clipboards read as one: every change on either side is a content, the
// compositor's copy of a picture on the other side is not, and emptying
// empties the side that held the picture, and the copy when it holds the
// same bytes.
#include <gtest/gtest.h>

#include "platform/bothclipboards.h"
#include "tests/platform/scriptedreader.h"

namespace pixkeep {
namespace {

using Change = ClipboardReader::Change;
using Fetched = ClipboardReader::Fetched;
using namespace std::chrono_literals;

const std::vector<std::string> X11Picture{"TARGETS", "TIMESTAMP", "image/png"}, WaylandPicture{"image/png"};
const std::vector<uint8_t> Png{1, 2, 3}, OtherPng{4, 5, 6};

struct Both {
  ScriptedReader* wayland;
  ScriptedReader* x11;
  std::unique_ptr<BothClipboards> both;
  std::vector<Change> changes;
  std::vector<Fetched> answers;
  ClipboardReader::Clock::time_point now;

  Both() {
    auto w = std::make_unique<ScriptedReader>();
    auto x = std::make_unique<ScriptedReader>();
    wayland = w.get();
    x11 = x.get();
    both = std::make_unique<BothClipboards>(std::move(w), std::move(x));
    both->clock = [this] { return now; };
    ClipboardReader::Events events;
    events.changed = [this](const Change& c) { changes.push_back(c); };
    events.fetched = [this](const Fetched& f) { answers.push_back(f); };
    both->setEvents(std::move(events));
  }
};

TEST(BothClipboards, ACopyOnEitherSideIsAContentReadAndEmptiedOnItsOwnSide) {
  for (int side : {0, 1}) {
    SCOPED_TRACE(side == 0 ? "Wayland" : "X11");
    Both t;
    ScriptedReader& here = side == 0 ? *t.wayland : *t.x11;
    ScriptedReader& there = side == 0 ? *t.x11 : *t.wayland;
    const uint64_t inner = here.ownerCopies(side == 0 ? WaylandPicture : X11Picture);
    ASSERT_EQ(t.changes.size(), 1u);
    const uint64_t g = t.changes[0].generation;
    EXPECT_EQ(g, 1u);
    t.both->fetch(g, {"image/png"});
    ASSERT_EQ(here.fetches.size(), 1u);
    EXPECT_EQ(here.fetches[0].first, inner);
    EXPECT_TRUE(there.fetches.empty());
    here.ownerHandsOver(inner, "image/png", Png);
    ASSERT_EQ(t.answers.size(), 1u);
    EXPECT_EQ(t.answers[0].generation, g);
    EXPECT_EQ(*t.answers[0].bytes, Png);
    t.both->handedOver(g);
    t.both->empty(g);
    EXPECT_EQ(here.empties, std::vector<uint64_t>{inner});
    EXPECT_TRUE(there.empties.empty());
  }
}

// The compositor copies a picture to the other side at once: one content.
// When it is emptied, the copy is read; the same bytes are emptied with it,
// other bytes (another program's picture) are told as a content of their own.
TEST(BothClipboards, TheCompositorsCopyIsEmptiedWithThePictureAndAnotherPictureIsTold) {
  for (const bool same : {true, false}) {
    SCOPED_TRACE(same ? "the same bytes" : "other bytes");
    Both t;
    const uint64_t x = t.x11->ownerCopies(X11Picture);
    t.now += 5ms;
    const uint64_t w = t.wayland->ownerCopies(WaylandPicture);
    ASSERT_EQ(t.changes.size(), 1u) << "the copy is not a content";
    const uint64_t g = t.changes[0].generation;
    t.both->fetch(g, {"image/png"});
    t.x11->ownerHandsOver(x, "image/png", Png);
    t.both->handedOver(g);
    EXPECT_TRUE(t.wayland->fetches.empty()) << "read only when emptying";
    t.both->empty(g);
    ASSERT_EQ(t.wayland->fetches.size(), 1u);
    EXPECT_EQ(t.wayland->fetches[0], (std::pair<uint64_t, std::vector<std::string>>{w, {"image/png"}}));
    EXPECT_TRUE(t.x11->empties.empty()) << "the compositor may read the copy from the picture's owner";
    t.wayland->ownerHandsOver(w, "image/png", same ? Png : OtherPng);
    EXPECT_EQ(t.x11->empties, std::vector<uint64_t>{x});
    if (same) {
      EXPECT_EQ(t.wayland->empties, std::vector<uint64_t>{w});
      EXPECT_EQ(t.changes.size(), 1u);
    } else {
      EXPECT_TRUE(t.wayland->empties.empty());
      ASSERT_EQ(t.changes.size(), 2u);
      const uint64_t next = t.changes[1].generation;
      EXPECT_EQ(t.changes[1].types, WaylandPicture);
      t.both->fetch(next, {"image/png"});
      ASSERT_EQ(t.wayland->fetches.size(), 2u);
      EXPECT_EQ(t.wayland->fetches[1].first, w);
    }
  }
}

// Not a copy: a change on the other side after the mirror window, one that
// offers other picture types, and any change on the same side.
TEST(BothClipboards, OtherChangesAreContentsOfTheirOwn) {
  struct Case {
    const char* name;
    int side;  // of the second change: 0 Wayland, 1 X11 (the first is X11's)
    std::chrono::milliseconds after;
    std::vector<std::string> types;
  };
  for (const Case& c : {Case{"later", 0, 1500ms, WaylandPicture}, Case{"another picture type", 0, 5ms, {"image/bmp"}},
                        Case{"same side", 1, 5ms, X11Picture}}) {
    SCOPED_TRACE(c.name);
    Both t;
    t.x11->ownerCopies(X11Picture);
    t.now += c.after;
    (c.side == 0 ? t.wayland : t.x11)->ownerCopies(c.types);
    ASSERT_EQ(t.changes.size(), 2u);
    EXPECT_EQ(t.changes[1].types, c.types);
  }
}

TEST(BothClipboards, WhatBothSidesHeldAtStartIsOneContentEmptiedOnBoth) {
  Both t;
  t.wayland->ownedAtStart(WaylandPicture);
  t.x11->ownedAtStart(X11Picture);
  ASSERT_EQ(t.changes.size(), 1u);
  EXPECT_EQ(t.changes[0].generation, 0u);
  t.both->fetch(0, {"image/png"});
  t.wayland->ownerHandsOver(0, "image/png", Png);
  t.both->handedOver(0);
  t.both->empty(0);
  EXPECT_EQ(t.wayland->empties, std::vector<uint64_t>{0});
  EXPECT_EQ(t.x11->empties, std::vector<uint64_t>{0});
  EXPECT_TRUE(t.x11->fetches.empty()) << "never saved: nothing to compare";
}

// When the picture cannot be had, its failure is told; then its copy on the
// other side, which may give it. The copy of a picture whose owner never
// answers may offer no types at all (the compositor could not ask for
// them): it gives nothing, and the failure stands.
TEST(BothClipboards, WhenThePictureCannotBeHadItsFailureIsToldAndThenACopyThatMayGiveIt) {
  for (const std::vector<std::string>& copyTypes : {WaylandPicture, std::vector<std::string>{}}) {
    SCOPED_TRACE(copyTypes.size());
    Both t;
    const uint64_t x = t.x11->ownerCopies(X11Picture);
    t.wayland->ownerCopies(copyTypes);
    ASSERT_EQ(t.changes.size(), 1u);
    t.both->fetch(t.changes[0].generation, {"image/png"});
    t.x11->ownerFails(x, ClipboardReader::Failure::NoAnswer);
    ASSERT_EQ(t.answers.size(), 1u) << "the failure is told, not taken over by the copy";
    EXPECT_EQ(t.answers[0].failure, ClipboardReader::Failure::NoAnswer);
    if (copyTypes.empty()) {
      EXPECT_EQ(t.changes.size(), 1u);
    } else {
      ASSERT_EQ(t.changes.size(), 2u);
      EXPECT_EQ(t.changes[1].types, copyTypes);
    }
  }
}

}  // namespace
}  // namespace pixkeep
