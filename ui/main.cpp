#include <QApplication>
#include <cstdlib>

#include "capture/stamp/freetypetext.h"
#include "ui/form1.h"
#include "ui/tray.h"
#include "codecs/imagetypes.h"
#include "codecs/jpeg/jpegimage.h"
#include "codecs/png/pngimage.h"
#include "platform/qt/qtclipboard.h"
#include "platform/qt/qtdisplay.h"

int main(int argc, char** argv) {
  // The clipboard of a Wayland session is reached through XWayland.
  if (std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pixkeep");
  QApplication::setApplicationDisplayName("Pixkeep");
  QApplication::setWindowIcon(pixkeep::applicationIcon());
  // Closing an error box while the window is hidden must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  pixkeep::JPEGRegistration jpeg;
  pixkeep::PNGRegistration png;
  pixkeep::QtDisplay display;
  pixkeep::setCurrentDisplay(&display);
  pixkeep::setTextRasteriser(&pixkeep::freeTypeText());
  pixkeep::QtClipboard clipboard;
  pixkeep::TForm1 form(clipboard, pixkeep::imageTypes(), pixkeep::programPlaces());
  form.show();
  int rc = app.exec();
  pixkeep::setCurrentDisplay(nullptr);
  return rc;
}
