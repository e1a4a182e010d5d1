#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/stamp/freetypetext.h"
#include "ui/form1.h"
#include "ui/singleinstance.h"
#include "ui/tray.h"
#include "codecs/imagetypes.h"
#include "codecs/jpeg/jpegimage.h"
#include "codecs/png/pngimage.h"
#include "platform/qt/qtclipboard.h"
#include "platform/qt/qtdisplay.h"

namespace {

constexpr char Usage[] =
    "Usage: pixkeep [-hide | /hide | --version | --help]\n"
    "While it runs, every picture copied to the clipboard becomes a numbered\n"
    "image file (pxk1.jpg, pxk2.png, ...) in the chosen folder.\n"
    "\n"
    "Only the first argument is looked at:\n"
    "  -hide, /hide  start hidden: the window goes to the tray after a second\n"
    "  --version     print the version and exit\n"
    "  --help        print this help and exit\n"
    "\n"
    "One Pixkeep runs per user and display: starting it again brings the\n"
    "running one's window to the front (a hidden start leaves it as it is).\n";

// How long a second start waits for the running program's answer; it may be starting up itself.
constexpr int AnswerTimeoutMs = 10000;

}  // namespace

int main(int argc, char** argv) {
  // Answered before anything touches the display or the clipboard.
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Pixkeep %s\n", PIXKEEP_VERSION);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(Usage, stdout);
    return 0;
  }

  // The clipboard of a Wayland session is reached through XWayland.
  if (std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pixkeep");
  QApplication::setApplicationDisplayName("Pixkeep");
  QApplication::setApplicationVersion(PIXKEEP_VERSION);
  QApplication::setWindowIcon(pixkeep::applicationIcon());
  // Closing an error box while the window is hidden must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // Never two capturers for one clipboard: a second start hands over to the first.
  const auto instance = pixkeep::singleInstanceForThisDisplay();
  switch (instance->state()) {
    case pixkeep::InstanceLock::State::Held:
      break;
    case pixkeep::InstanceLock::State::HeldByAnother:
      if (pixkeep::hiddenStartRequested(QCoreApplication::arguments())) return 0;
      if (instance->askToShow(AnswerTimeoutMs)) return 0;
      std::fputs("Pixkeep already runs on this display but does not answer.\n", stderr);
      return 1;
    case pixkeep::InstanceLock::State::Unavailable:
      std::fputs("Pixkeep: no runtime directory to keep a second Pixkeep from starting on this display.\n", stderr);
      break;
  }

  pixkeep::JPEGRegistration jpeg;
  pixkeep::PNGRegistration png;
  pixkeep::QtDisplay display;
  pixkeep::setCurrentDisplay(&display);
  pixkeep::setTextRasteriser(&pixkeep::freeTypeText());
  pixkeep::QtClipboard clipboard;
  pixkeep::TForm1 form(clipboard, pixkeep::imageTypes(), pixkeep::programPlaces());
  QObject::connect(instance.get(), &pixkeep::SingleInstance::showRequested, &form, &pixkeep::TForm1::bringToFront);
  form.show();
  int rc = app.exec();
  pixkeep::setCurrentDisplay(nullptr);
  return rc;
}
