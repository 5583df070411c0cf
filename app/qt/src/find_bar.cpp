#include "corvane/qt/find_bar.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>

#include "corvane/qt/installer_window.h"
#include "corvane/qt/log_view.h"

namespace corvane::qt {
namespace {

// Unicode's folding by ICU: case and compatibility forms (full-width letters,
// half-width kana) as NFKC_Casefold has them, then split into base and marks,
// so that ガ and ｶﾞ, é and e with its accent, compare alike.
class IcuFolding final : public TextFolding {
 public:
  std::u32string fold(char32_t c) const override {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* caseless = icu::Normalizer2::getNFKCCasefoldInstance(status);
    const icu::Normalizer2* split = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return {c};
    const icu::UnicodeString folded = split->normalize(
        caseless->normalize(icu::UnicodeString(static_cast<UChar32>(c)), status), status);
    if (U_FAILURE(status)) return {c};
    std::u32string out;
    for (std::int32_t at = 0; at < folded.length(); at = folded.moveIndex32(at, 1)) {
      out.push_back(static_cast<char32_t>(folded.char32At(at)));
    }
    return out;
  }
};

}  // namespace

std::unique_ptr<TextFolding> MakeIcuFolding() { return std::make_unique<IcuFolding>(); }

FindBar::FindBar(LogView* view)
    : QWidget(view),
      view_(view),
      field_(new QLineEdit(this)),
      count_(new QLabel(field_)),
      matchCase_(new QCheckBox(QStringLiteral("大文字と小文字を区別"), this)) {
  view_->core().setFolding(MakeIcuFolding());
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Window);
  field_->setObjectName(names::kFindField);
  field_->setPlaceholderText(QStringLiteral("検索"));
  field_->setAccessibleName(QStringLiteral("検索"));
  field_->setMaxLength(1000);
  field_->installEventFilter(this);
  count_->setObjectName(names::kFindCount);
  count_->setForegroundRole(QPalette::PlaceholderText);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 3, 4, 3);
  layout->setSpacing(4);
  layout->addWidget(field_, 1);
  for (const auto& [arrow, words, forward] :
       {std::tuple(Qt::UpArrow, "前の一致", false), std::tuple(Qt::DownArrow, "次の一致", true)}) {
    auto* button = new QToolButton(this);
    button->setArrowType(arrow);
    button->setToolTip(QString::fromUtf8(words));
    button->setAccessibleName(QString::fromUtf8(words));
    connect(button, &QToolButton::clicked, this, [this, next = forward] { step(next); });
    layout->addWidget(button);
  }
  layout->addWidget(matchCase_);
  auto* done = new QToolButton(this);
  done->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
  done->setToolTip(QStringLiteral("検索を閉じる"));
  done->setAccessibleName(QStringLiteral("検索を閉じる"));
  connect(done, &QToolButton::clicked, this, &FindBar::close);
  layout->addWidget(done);
  connect(field_, &QLineEdit::textChanged, this, &FindBar::search);
  connect(matchCase_, &QCheckBox::toggled, this, &FindBar::search);

  // Anywhere in the window, as desktop programs have them.
  auto shortcut = [&](QKeySequence keys, Qt::ShortcutContext context, auto act) {
    auto* made = new QShortcut(keys, view_, act);
    made->setContext(context);
  };
  shortcut(QKeySequence::Find, Qt::WindowShortcut, [this] { open(); });
  shortcut(QKeySequence::FindNext, Qt::WindowShortcut, [this] { step(true); });
  shortcut(QKeySequence::FindPrevious, Qt::WindowShortcut, [this] { step(false); });
  auto* escape = new QShortcut(Qt::Key_Escape, this, this, &FindBar::close);
  escape->setContext(Qt::WidgetWithChildrenShortcut);
  view_->installEventFilter(this);
  hide();
}

void FindBar::open() {
  show();
  place();
  field_->setFocus(Qt::ShortcutFocusReason);
  field_->selectAll();
  search();
}

void FindBar::close() {
  view_->core().endFind();
  hide();
  place();
  view_->setFocus(Qt::OtherFocusReason);
}

void FindBar::step(bool forward) {
  if (isHidden()) return open();
  forward ? view_->core().findNext() : view_->core().findPrevious();
}

void FindBar::search() {
  if (isHidden()) return;
  const QByteArray text = field_->text().toUtf8();
  view_->core().find(std::string_view(text.data(), static_cast<std::size_t>(text.size())),
                     matchCase_->isChecked());
}

void FindBar::refresh() {
  const QString text = QString::fromStdString(view_->core().findStatusText());
  if (text == count_->text()) return;
  SetAnnouncedText(count_, text);
  field_->setAccessibleDescription(text);
  place();
}

void FindBar::place() {
  // The bar takes the top of the log's frame; the text and its scroll bar
  // what is left.
  const int height = isHidden() ? 0 : sizeHint().height();
  view_->setContentsMargins(0, height, 0, 0);
  setGeometry(1, 1, view_->width() - 2, height);
  count_->adjustSize();
  const QRect inside = field_->rect();
  count_->move(inside.right() - count_->width() - 6, (inside.height() - count_->height()) / 2);
  field_->setTextMargins(0, 0, count_->width() + 8, 0);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_ && event->type() == QEvent::Resize && !isHidden()) place();
  if (watched == field_ && event->type() == QEvent::Resize) place();
  if (watched == field_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      step(!(key->modifiers() & Qt::ShiftModifier));
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace corvane::qt
