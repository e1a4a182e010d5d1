// The X11 CLIPBOARD selection through Qt.
//
// Whether a bitmap is offered is worked out once per change notification and
// kept, so hasFormat() costs nothing; the picture is fetched from the target
// we choose in the owner's order and decoded with QImage.
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <map>

#include "platform/clipboard.h"

class QClipboard;

namespace pixkeep {

class QtClipboard : public QObject, public Clipboard {
 public:
  explicit QtClipboard(QObject* parent = nullptr);

  bool hasFormat(unsigned format) override;
  bool open() override { return true; }  // X11 selections need no locking
  void close() override {}
  std::vector<unsigned> formats() override;
  std::shared_ptr<const PlatformBitmap> bitmap() override;
  std::optional<std::vector<RGBQuad>> palette() override { return std::nullopt; }
  void empty() override;
  unsigned registerFormat(const std::string& name) override;

  // The format number a MIME target stands for.
  unsigned formatOf(const QString& target);
  // The targets that can give a bitmap, in the order they are tried.
  QStringList bitmapTargets() const;

 private:
  void refresh();

  QClipboard* clipboard_;
  QStringList targets_;
  std::vector<unsigned> formats_;
  std::map<std::string, unsigned> registered_;
  uint32_t clipboardAtom_ = 0;
};

}  // namespace pixkeep
