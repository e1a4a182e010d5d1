// Small controls of the main window that Qt does not have as such: a link
// label that is clicked like a button, an integer spin edit without limits
// that reads whatever its text says, a group box captioned on its frame, and
// a one-line label that never asks for more width than it has.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QSpinBox>
#include <cstdint>
#include <optional>

namespace pixkeep {

// Underlined, in the highlight colour, with a pointing hand; a click with the
// left button released over it emits clicked(). Greyed out while disabled.
class LinkLabel : public QLabel {
  Q_OBJECT
 public:
  explicit LinkLabel(const QString& text, QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

// An integer spin edit. Typing accepts digits, signs and the decimal
// separator; the arrows step by 1 and stop at the ends of the 32-bit range.
// Its value is its text read as a whole 32-bit number, and 0 when the text
// is anything else (empty, "-", "1.5", a number out of range); on leaving
// the field such a text is shown as the 0 it stands for.
class SpinEdit : public QSpinBox {
  Q_OBJECT
 public:
  explicit SpinEdit(QWidget* parent = nullptr);

  // The text as a whole number, or 0.
  int32_t Value() const;
  // The text as a whole 32-bit number; none for anything else.
  static std::optional<int32_t> wholeNumber(const QString& text);

 protected:
  QValidator::State validate(QString& input, int& pos) const override;
  int valueFromText(const QString& text) const override;
};

// A group box whose caption sits on the frame line, as the window's design
// has it: controls placed just below the caption stay inside the frame.
// "&&" in the title shows one "&".
class GroupBox : public QGroupBox {
  Q_OBJECT
 public:
  explicit GroupBox(const QString& title, QWidget* parent = nullptr) : QGroupBox(title, parent) {}

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A one-line plain-text label that takes the width its layout gives it and
// never asks for more: a text longer than that is shortened with "…", and
// its whole text is then the tool tip of `tipOwner` (the label itself when none).
class ElidedLabel : public QLabel {
  Q_OBJECT
 public:
  explicit ElidedLabel(QWidget* parent = nullptr, QWidget* tipOwner = nullptr);

  void setFullText(const QString& text);
  const QString& fullText() const { return full_; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void fit();

  QString full_;
  QWidget* tipOwner_;
};

}  // namespace pixkeep
