#include "app/message_box.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/texts.h"

namespace orbanix::app {

namespace {

MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}

QString DefaultTitle(MsgKind kind) {
  switch (kind) {
    case MsgKind::kConfirm: return Message("MSG0402", QStringLiteral("Confirm"));
    case MsgKind::kInformation: return Message("MSG0403", QStringLiteral("Information"));
    case MsgKind::kWarning: return Message("MSG0405", QStringLiteral("Warning"));
    case MsgKind::kQuestion: return Message("MSG0404", QStringLiteral("Question"));
    case MsgKind::kError:
    default: return Message("MSG0401", QStringLiteral("Error"));
  }
}

QMessageBox::Icon IconOf(MsgKind kind) {
  switch (kind) {
    case MsgKind::kConfirm:
    case MsgKind::kQuestion: return QMessageBox::Question;
    case MsgKind::kInformation: return QMessageBox::Information;
    case MsgKind::kWarning: return QMessageBox::Warning;
    case MsgKind::kError:
    default: return QMessageBox::Critical;
  }
}

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

int ShowMessageBox(QWidget* parent, MsgKind kind, const QString& title, const QString& text, bool withCancel) {
  if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 4) kind = MsgKind::kError;
  const QString shownTitle = title.isEmpty() ? DefaultTitle(kind) : title;
  if (Hook()) return Hook()(kind, shownTitle, text) == kAnswerOk ? kAnswerOk : kAnswerCancel;

  QMessageBox box(IconOf(kind), shownTitle, text, QMessageBox::NoButton, parent);
  box.setObjectName(QStringLiteral("MessageBox"));
  QPushButton* ok = box.addButton(Text("MessageBox", "okbtn", QStringLiteral("OK")), QMessageBox::AcceptRole);
  ok->setObjectName(QStringLiteral("okbtn"));
  QPushButton* cancel = nullptr;
  if (withCancel || kind == MsgKind::kConfirm || kind == MsgKind::kQuestion) {
    cancel = box.addButton(Text("MessageBox", "cancelbtn", QStringLiteral("Cancel")), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelbtn"));
    box.setEscapeButton(cancel);
  }
  box.setDefaultButton(ok);
  box.exec();
  return box.clickedButton() == ok ? kAnswerOk : kAnswerCancel;
}

}  // namespace orbanix::app
