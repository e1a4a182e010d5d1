// A main window over a fake clipboard, with its settings, language file and
// output folder ("out/") in a temporary directory of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <memory>

#include "codecs/imagetypes.h"
#include "platform/fakeclipboard.h"
#include "tests/config/tempdir.h"
#include "ui/capturecontroller.h"
#include "ui/form1.h"

namespace pixkeep {

class FormInTempDir : public testing::Test {
 protected:
  // The directory chooser changes the process's current directory.
  void TearDown() override {
    form.reset();
    std::filesystem::current_path(cwd);
  }
  ProgramPlaces places() const { return {dir / "pixkeep.ini", dir / "english.ini", dir / "out/"}; }
  void startForm() { form = std::make_unique<TForm1>(clipboard, imageTypes(), places()); }
  template <typename T>
  T* child(const char* name) {
    T* w = form->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  // Lets the writing thread finish and delivers what it reported.
  void settle() {
    form->controller().queue().flush(std::chrono::seconds(10));
    QCoreApplication::processEvents();
  }

  const std::filesystem::path cwd = std::filesystem::current_path();
  testing_support::TempDir dir;
  FakeClipboard clipboard;
  std::unique_ptr<TForm1> form;
};

}  // namespace pixkeep
