#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "capture/capturequeue.h"
#include "raster/errors.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PlatformBitmap solid(uint32_t colour) {
  PlatformBitmap b;
  b.width = 3;
  b.height = 2;
  b.bits.resize(3 * 2 * 4);
  for (size_t i = 0; i < b.bits.size(); i += 4) {
    b.bits[i] = uint8_t(colour >> 16);
    b.bits[i + 1] = uint8_t(colour >> 8);
    b.bits[i + 2] = uint8_t(colour);
  }
  return b;
}

// What the queue reported, in order.
struct Log {
  std::mutex mutex;
  std::vector<int> written;
  std::vector<std::string> failures;  // message | detail | kept
  std::vector<uint64_t> held;
  std::vector<size_t> waiting;
  std::vector<std::pair<uint64_t, bool>> checked;  // generation, restore
  CaptureQueue::Events events() {
    return {
        [this](const CaptureResult& r) {
          std::lock_guard lock(mutex);
          written.push_back(r.counter);
        },
        [this](const std::string& m, const std::string& d, bool kept, uint64_t) {
          std::lock_guard lock(mutex);
          failures.push_back(m + " | " + d + " | " + (kept ? "kept" : "lost"));
        },
        [this](uint64_t generation) {
          std::lock_guard lock(mutex);
          held.push_back(generation);
        },
        [this](size_t n, const std::string&) {
          std::lock_guard lock(mutex);
          waiting.push_back(n);
        },
        [this](CaptureJob job, bool restore) {
          std::lock_guard lock(mutex);
          checked.emplace_back(job.generation, restore);
        },
    };
  }
};

class CaptureQueueTest : public testing::Test {
 protected:
  void SetUp() override {
    dir = tempDir();
    outputDirectory = dir;
  }
  void TearDown() override { fs::remove_all(dir); }

  // A picture as the capture cycle takes it off the clipboard.
  CaptureJob copy(uint32_t colour) { return job(std::make_shared<PlatformBitmap>(solid(colour))); }
  CaptureJob job(std::shared_ptr<const PlatformBitmap> bitmap) {
    CaptureJob j;
    j.generation = ++copies;
    j.bitmap = std::move(bitmap);
    j.outputDirectory = outputDirectory;
    return j;
  }
  uint32_t colourOf(const std::string& path) {
    RasterImage r;
    MemoryStream s(readFile(path));
    r.loadFromStream(s);
    return r.pixel(0, 0);
  }

  std::string dir, outputDirectory;
  uint64_t copies = 0;  // the clipboard content of each job
  CapturePipeline pipeline{{{"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {}, {}}}};
  Log log;
};

TEST_F(CaptureQueueTest, PicturesAreWrittenOnceInTheOrderTheyWereTaken) {
  CaptureQueue queue(pipeline, log.events());
  const uint32_t colours[] = {Red, Green, Blue, Yellow, Cyan};
  for (uint32_t c : colours) queue.push(copy(c));
  ASSERT_TRUE(queue.flush(10s));
  EXPECT_EQ(log.written, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(log.failures.empty());
  EXPECT_TRUE(log.waiting.empty()) << "nothing ever waited";
  for (int i = 0; i < 5; ++i) EXPECT_EQ(colourOf(dir + "pxk" + std::to_string(i + 1) + ".bmp"), colours[i]);
  EXPECT_EQ(queue.waiting(), 0u);
}

TEST_F(CaptureQueueTest, PicturesWaitWhileTheFolderIsGoneAndAreWrittenInOrderWhenItIsBack) {
  CaptureQueue queue(pipeline, log.events());
  fs::remove_all(dir);
  queue.push(copy(Red));
  EXPECT_FALSE(queue.flush(10s));
  queue.push(copy(Green));
  queue.push(copy(Blue));
  EXPECT_FALSE(queue.flush(10s));
  EXPECT_EQ(queue.waiting(), 3u);
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.failures.size(), 1u) << "one report for the failure, none for its retries";
    EXPECT_EQ(log.failures[0], "Cannot create file " + dir + "pxk1.bmp | pxk1.bmp: No such file or directory | kept");
    EXPECT_TRUE(log.written.empty());
    ASSERT_FALSE(log.waiting.empty());
    EXPECT_EQ(log.held, (std::vector<uint64_t>{1, 2, 3})) << "each waiting picture is told once";
  }
  EXPECT_EQ(pipeline.pictureCounter, 0) << "no number is used up while waiting";

  fs::create_directory(dir);
  ASSERT_TRUE(queue.flush(10s));
  EXPECT_EQ(colourOf(dir + "pxk1.bmp"), Red);
  EXPECT_EQ(colourOf(dir + "pxk2.bmp"), Green);
  EXPECT_EQ(colourOf(dir + "pxk3.bmp"), Blue);
  std::lock_guard lock(log.mutex);
  EXPECT_EQ(log.written, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(log.waiting.back(), 0u);
}

TEST_F(CaptureQueueTest, ChecksAreAnsweredInOrderWhilePicturesWait) {
  CaptureQueue queue(pipeline, log.events());
  fs::remove_all(dir);
  queue.push(copy(Red));
  EXPECT_FALSE(queue.flush(10s));
  auto job = [](uint64_t generation, uint32_t previous, uint32_t colour) {
    CaptureJob j;
    j.generation = generation;
    j.needsCheck = true;
    j.previous = std::make_shared<PlatformBitmap>(solid(previous));
    j.bitmap = std::make_shared<PlatformBitmap>(solid(colour));
    return j;
  };
  queue.check(job(41, Red, Red));
  queue.check(job(42, Red, Green));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  auto answers = [&] {
    std::lock_guard lock(log.mutex);
    return log.checked.size();
  };
  while (answers() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::lock_guard lock(log.mutex);
  EXPECT_EQ(log.checked, (std::vector<std::pair<uint64_t, bool>>{{41, true}, {42, false}}));
  EXPECT_EQ(queue.waiting(), 1u) << "checking writes nothing";
  EXPECT_TRUE(log.written.empty());
}

TEST_F(CaptureQueueTest, ChoosingAnotherFolderWritesTheWaitingPicturesThereAtOnce) {
  CaptureQueue queue(pipeline, log.events());
  const std::string gone = dir + "gone/", other = dir + "other/";
  outputDirectory = gone;
  queue.push(copy(Red));
  EXPECT_FALSE(queue.flush(10s));
  fs::create_directory(other);
  queue.setOutputDirectory(other);
  ASSERT_TRUE(queue.flush(10s));
  EXPECT_EQ(colourOf(other + "pxk1.bmp"), Red);
}

TEST_F(CaptureQueueTest, MemoryLimitAndDiscard) {
  CaptureQueue queue(pipeline, log.events(), 50);
  fs::remove_all(dir);
  EXPECT_TRUE(queue.hasRoom());
  queue.push(copy(Red));
  EXPECT_FALSE(queue.flush(10s));
  EXPECT_FALSE(queue.hasRoom()) << "the waiting 3x2 BMP (78 bytes) is over the limit";
  queue.discard();
  EXPECT_EQ(queue.waiting(), 0u);
  EXPECT_EQ(queue.pending(), 0u);
  EXPECT_TRUE(queue.hasRoom());
  fs::create_directory(dir);
  queue.push(copy(Green));
  ASSERT_TRUE(queue.flush(10s));
  EXPECT_EQ(colourOf(dir + "pxk1.bmp"), Green) << "the discarded picture is gone";
}

TEST_F(CaptureQueueTest, APictureThatCannotBeDecodedIsReportedAndTheNextOnesGoOn) {
  CaptureQueue queue(pipeline, log.events());
  auto broken = std::make_shared<PlatformBitmap>();
  broken->width = 4;
  broken->height = 4;  // no pixel bytes at all
  queue.push(job(broken));
  queue.push(copy(Blue));
  ASSERT_TRUE(queue.flush(10s));
  std::lock_guard lock(log.mutex);
  ASSERT_EQ(log.failures.size(), 1u);
  EXPECT_EQ(log.failures[0], "Bitmap image is not valid |  | lost");
  EXPECT_EQ(log.written, std::vector<int>{1});
}

}  // namespace
}  // namespace pixkeep::test
