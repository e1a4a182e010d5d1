// The X11 reader (platform/x11/x11selection.h) on an Xvfb of the test's
// own, against the tests' clipboard owner (tests/e2e/clipboard_owner.c),
// which hands over a picture larger than one X request in INCR chunks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "platform/memory.h"
#include "platform/x11/x11selection.h"
#include "tests/e2e/harness.h"

namespace pixkeep::test {
namespace {

using namespace e2e;

// What the reader tells, kept for the test's thread.
struct Told {
  std::mutex mutex;
  std::vector<ClipboardReader::Change> changes;
  std::optional<ClipboardReader::Fetched> fetched;

  std::optional<ClipboardReader::Change> change(const std::string& type) {
    std::lock_guard lock(mutex);
    for (const auto& c : changes)
      for (const auto& t : c.types)
        if (t == type) return c;
    return std::nullopt;
  }
  std::optional<ClipboardReader::Fetched> result() {
    std::lock_guard lock(mutex);
    return fetched;
  }
};

uint64_t freeNow = 0;

// A picture's bytes may take no more than a picture may take now: a quarter
// of the memory free. A transfer beyond that is given up, whatever the owner
// goes on sending, in one answer or in INCR chunks; asked again with more
// memory free, the same reader gets every byte, untouched by the transfer
// it gave up.
TEST(X11Reader, ATransferBeyondAQuarterOfTheFreeMemoryIsGivenUp) {
  const std::string dir = makeTempDir("pixkeep-x11reader");
  std::string display;
  std::unique_ptr<Process> xvfb = startXvfb(dir + "xvfb.log", display);
  ASSERT_TRUE(xvfb && !display.empty()) << fileText(dir + "xvfb.log");
  setenv("DISPLAY", display.c_str(), 1);  // for the owner
  // A connection of the test's own for its whole length: an X server whose
  // last client leaves resets itself, refusing the next one meanwhile.
  XServer server;
  ASSERT_TRUE(server.open(display));

  struct Case {
    const char* what;
    size_t size;          // of the picture's bytes
    uint64_t free;        // what the memory probe says at first
    const char* failure;  // then
  };
  const Case cases[] = {
      // More than Xvfb takes in one request (16 MB): the owner sends it in chunks.
      {"in INCR chunks", size_t(20) << 20, uint64_t(40) << 20,
       "the clipboard's content is larger than 10 MB, a quarter of the memory free now (40 MB)"},
      {"in one answer", size_t(3) << 20, uint64_t(8) << 20,
       "the clipboard's content is larger than 2 MB, a quarter of the memory free now (8 MB)"},
  };
  const MemoryProbe before = setMemoryProbe([] { return freeNow; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes(c.size);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 2654435761u >> 24);
    const std::string file = dir + "picture.png";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Told told;
    ClipboardReader::Timing timing;
    timing.total = std::chrono::milliseconds(300);
    X11Selection reader(timing);
    reader.setEvents({[&](const ClipboardReader::Change& change) {
                        std::lock_guard lock(told.mutex);
                        told.changes.push_back(change);
                      },
                      [&](const ClipboardReader::Fetched& f) {
                        std::lock_guard lock(told.mutex);
                        told.fetched = f;
                      }});
    ASSERT_TRUE(reader.start(display.c_str())) << xvfb->describe() << "\n" << fileText(dir + "xvfb.log");
    Process owner({CLIPBOARD_OWNER_BINARY, "png", file, "0", "0", "60"}, dir + "owner.log");
    std::optional<ClipboardReader::Change> change;
    ASSERT_TRUE(waitFor([&] { return (change = told.change("image/png")).has_value() || !owner.running(); }))
        << owner.describe() << "\n" << fileText(dir + "owner.log");
    ASSERT_TRUE(change);
    auto fetch = [&](uint64_t free) {
      freeNow = free;
      {
        std::lock_guard lock(told.mutex);
        told.fetched.reset();
      }
      reader.fetch(change->generation, {"image/png"});
      EXPECT_TRUE(waitFor([&] { return told.result().has_value(); }));
      return told.result().value_or(ClipboardReader::Fetched{});
    };
    const ClipboardReader::Fetched refused = fetch(c.free);
    EXPECT_FALSE(refused.bytes);
    EXPECT_EQ(refused.failure.rfind(c.failure, 0), 0u) << refused.failure;
    const ClipboardReader::Fetched taken = fetch(uint64_t(400) << 20);
    ASSERT_TRUE(taken.bytes) << taken.failure;
    EXPECT_TRUE(*taken.bytes == bytes) << "the bytes as the owner sent them, " << taken.bytes->size() << " of "
                                       << bytes.size();
    owner.stop();
  }
  setMemoryProbe(before);
  server.close();
  xvfb->stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pixkeep::test
