// The naive peer of the idle benchmark: asks Qt for the clipboard's picture
// every millisecond.
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QTimer>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QTimer timer;
  int found = 0;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (data && data->hasImage()) ++found;
  });
  timer.start(1);
  return app.exec();
}
