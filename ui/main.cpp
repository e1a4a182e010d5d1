#include <QApplication>
#include <malloc.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "raster/stamp/freetypetext.h"
#include "ui/form1.h"
#include "ui/singleinstance.h"
#include "ui/tray.h"
#include "codecs/fileformats.h"
#include "codecs/imagetypes.h"
#include "platform/bothclipboards.h"
#include "platform/qt/qtclipboard.h"
#include "platform/qt/qtdisplay.h"
#include "platform/x11/x11selection.h"
#include "platform/wayland/waylandselection.h"

namespace {

enum class ClipboardChoice { Automatic, X11, Wayland };

// Takes "--clipboard=x11|wayland" out of the arguments, wherever it stands,
// so that the rest of the program sees the command line without it. False
// for another value.
bool takeClipboardChoice(int& argc, char** argv, ClipboardChoice& choice) {
  constexpr const char* option = "--clipboard=";
  int kept = 1;
  bool valid = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], option, std::strlen(option)) != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    const std::string value = argv[i] + std::strlen(option);
    if (value == "x11")
      choice = ClipboardChoice::X11;
    else if (value == "wayland")
      choice = ClipboardChoice::Wayland;
    else
      valid = false;
  }
  argc = kept;
  argv[argc] = nullptr;
  return valid;
}

// On a Wayland session whose compositor offers the data-control protocol,
// the seat's clipboard itself, and with XWayland the X11 clipboard beside it
// (--clipboard=wayland: the Wayland one alone). Elsewhere (plain X11,
// compositors without data-control, which hand every change to XWayland) the
// X11 clipboard.
std::unique_ptr<pixkeep::QtClipboard> openClipboard(ClipboardChoice choice) {
  const auto types = pixkeep::clipboardPictureTypes(pixkeep::imageTypes());
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  // Said once at start, so that a user (or a bug report) can tell which
  // clipboard is read.
  std::string why = "chosen with --clipboard=x11";
  if (choice == ClipboardChoice::Wayland || (choice == ClipboardChoice::Automatic && wayland && *wayland)) {
    if (auto reader = pixkeep::WaylandSelection::open(why)) {
      const std::string protocol = reader->protocol();
      // XWayland's clipboard too: the compositor hands it to the Wayland side
      // only at times (sway and KWin: while an X11 window has the focus).
      const char* display = std::getenv("DISPLAY");
      auto x11 = std::make_unique<pixkeep::X11Selection>();
      if (choice == ClipboardChoice::Automatic && display && *display && x11->start()) {
        std::fprintf(stderr, "Pixkeep: reading the Wayland clipboard (%s) and the X11 clipboard (XWayland %s)\n",
                     protocol.c_str(), display);
        return std::make_unique<pixkeep::QtClipboard>(
            std::make_unique<pixkeep::BothClipboards>(std::move(reader), std::move(x11)), types);
      }
      std::fprintf(stderr, "Pixkeep: reading the Wayland clipboard (%s)\n", protocol.c_str());
      return std::make_unique<pixkeep::QtClipboard>(std::move(reader), types);
    }
    if (choice == ClipboardChoice::Wayland) {
      std::fprintf(stderr, "Pixkeep: the Wayland clipboard cannot be read: %s\n", why.c_str());
      return nullptr;
    }
    if (why.find("no data-control") != std::string::npos) why = "no data-control";
  } else if (choice == ClipboardChoice::Automatic) {
    why = "no Wayland session";
  }
  auto x11 = std::make_unique<pixkeep::X11Selection>();
  if (!x11->start()) {
    std::fputs("Pixkeep: no X11 display to read the clipboard from; nothing will be captured\n", stderr);
    x11.reset();
  } else {
    std::fprintf(stderr, "Pixkeep: reading the X11 clipboard (%s)\n", why.c_str());
  }
  return std::make_unique<pixkeep::QtClipboard>(std::move(x11), types);
}

constexpr char Usage[] =
    "Usage: pixkeep [-hide | /hide | --version | --help] [--clipboard=x11|wayland]\n"
    "While it runs, every picture copied to the clipboard becomes a numbered\n"
    "image file (pxk1.jpg, pxk2.png, ...) in the chosen folder.\n"
    "\n"
    "Only the first argument is looked at for these:\n"
    "  -hide, /hide  start hidden: the window goes to the tray after a second\n"
    "  --version     print the version and exit\n"
    "  --help        print this help and exit\n"
    "This one may stand anywhere:\n"
    "  --clipboard=x11|wayland\n"
    "                read that clipboard; without it, a Wayland session's own\n"
    "                clipboard when its compositor allows it, else the X11 one\n"
    "\n"
    "One Pixkeep runs per user and display: starting it again brings the\n"
    "running one's window to the front (a hidden start leaves it as it is).\n";

// How long a second start waits for the running program's answer; it may be starting up itself.
constexpr int AnswerTimeoutMs = 10000;
// How long a start without a lock waits to connect to a program that may run:
// one that listens is connected at once, and none listening fails at once.
constexpr int ConnectTimeoutMs = 2000;

}  // namespace

int main(int argc, char** argv) {
  // Pictures are large: their buffers are mapped on their own and go back
  // to the system when freed, instead of staying in the heap once one large
  // picture has passed (glibc raises its threshold after such a free).
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  ClipboardChoice choice = ClipboardChoice::Automatic;
  if (!takeClipboardChoice(argc, argv, choice)) {
    std::fprintf(stderr, "Pixkeep: --clipboard= takes x11 or wayland\n");
    return 2;
  }
  // Answered before anything touches the display or the clipboard.
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Pixkeep %s\n", PIXKEEP_VERSION);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(Usage, stdout);
    return 0;
  }

  // The window is an X11 one, also on a Wayland session (through XWayland):
  // there it keeps its fixed layout and position, and minimising is seen, so
  // that it can go to the tray.
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
      std::fprintf(stderr, "Pixkeep: no lock against a second Pixkeep on this display: %s\n",
                   instance->problem().c_str());
      // A program that runs all the same, with or without the lock, is
      // still found on the socket and handed over to.
      if (instance->anotherListens(ConnectTimeoutMs)) {
        if (pixkeep::hiddenStartRequested(QCoreApplication::arguments())) return 0;
        if (instance->askToShow(AnswerTimeoutMs)) return 0;
        std::fputs("Pixkeep already runs on this display but does not answer.\n", stderr);
        return 1;
      }
      instance->listenWithoutLock();
      break;
  }

  pixkeep::FileFormatRegistration formats(pixkeep::imageTypes());
  pixkeep::QtDisplay display;
  pixkeep::setCurrentDisplay(&display);
  pixkeep::setTextRasteriser(&pixkeep::freeTypeText());
  std::unique_ptr<pixkeep::QtClipboard> clipboard = openClipboard(choice);
  if (!clipboard) return 1;
  pixkeep::TForm1 form(*clipboard, pixkeep::imageTypes(), pixkeep::programPlaces());
  QObject::connect(instance.get(), &pixkeep::SingleInstance::showRequested, &form, &pixkeep::TForm1::bringToFront);
  form.show();
  int rc = app.exec();
  pixkeep::setCurrentDisplay(nullptr);
  return rc;
}
