#include "ui/widgets.h"

#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>
#include <charconv>
#include <climits>

namespace pixkeep {

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);  // language texts are never markup
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  setCursor(Qt::PointingHandCursor);
  // Only the enabled look changes: a disabled link is greyed like any label.
  QPalette p = palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
    p.setColor(group, QPalette::WindowText, p.color(group, QPalette::Highlight));
  setPalette(p);
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  QLabel::mousePressEvent(event);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  // Like a button: the press and the release both over the link.
  const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  QLabel::mouseReleaseEvent(event);
  if (click) emit clicked();
}

SpinEdit::SpinEdit(QWidget* parent) : QSpinBox(parent) {
  setRange(INT_MIN, INT_MAX);
  setSingleStep(1);
}

std::optional<int32_t> SpinEdit::wholeNumber(const QString& text) {
  const std::string s = text.toStdString();
  const char* begin = s.data();
  const char* end = begin + s.size();
  // An optional sign, then digits only.
  bool negative = false;
  if (begin != end && (*begin == '-' || *begin == '+')) negative = *begin++ == '-';
  if (begin == end || *begin < '0' || *begin > '9') return std::nullopt;
  uint32_t magnitude = 0;
  const auto [last, error] = std::from_chars(begin, end, magnitude);
  if (error != std::errc() || last != end) return std::nullopt;
  if (negative) {
    if (magnitude > uint32_t(INT32_MAX) + 1) return std::nullopt;
    return int32_t(-int64_t(magnitude));
  }
  if (magnitude > uint32_t(INT32_MAX)) return std::nullopt;
  return int32_t(magnitude);
}

int32_t SpinEdit::Value() const { return wholeNumber(cleanText()).value_or(0); }

QValidator::State SpinEdit::validate(QString& input, int&) const {
  const QString decimal = locale().decimalPoint();
  for (QChar c : input)
    if ((c < u'0' || c > u'9') && c != u'-' && c != u'+' && !decimal.contains(c)) return QValidator::Invalid;
  return QValidator::Acceptable;
}

int SpinEdit::valueFromText(const QString& text) const { return wholeNumber(text).value_or(0); }

void GroupBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QFontMetrics metrics = fontMetrics();
  // The frame's top line runs through the middle of the caption.
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(rect().adjusted(0, metrics.height() / 2, -1, -1));
  if (title().isEmpty()) return;
  // The caption breaks the line, with a little room on either side.
  const QString shown = QString(title()).replace("&&", "&");
  const QRect caption(6, 0, metrics.horizontalAdvance(shown) + 4, metrics.height());
  painter.fillRect(caption, palette().brush(QPalette::Window));
  style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(), isEnabled(), title(),
                        QPalette::WindowText);
}

ElidedLabel::ElidedLabel(QWidget* parent, QWidget* tipOwner)
    : QLabel(parent), tipOwner_(tipOwner ? tipOwner : this) {
  setTextFormat(Qt::PlainText);  // language texts are never markup
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text) {
  full_ = text;
  fit();
}

QSize ElidedLabel::sizeHint() const { return {0, QLabel::sizeHint().height()}; }

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  fit();
}

void ElidedLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) fit();
}

void ElidedLabel::fit() {
  const int room = contentsRect().width() - 2 * margin() - 2 * std::max(indent(), 0);
  const QString shown = fontMetrics().elidedText(full_, Qt::ElideRight, std::max(room, 0));
  if (shown != text()) setText(shown);
  tipOwner_->setToolTip(shown == full_ ? QString() : full_);
}

}  // namespace pixkeep
