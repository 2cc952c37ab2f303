// The common message box: five kinds, each with its default title from the
// language file; OK answers 1, Cancel and the close button 2.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace orbanix::app {

enum class MsgKind { kError = 0, kConfirm = 1, kInformation = 2, kWarning = 3, kQuestion = 4 };

inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;

// Shows a modal box over `parent` and returns 1 (OK) or 2 (Cancel, close,
// Escape). An empty `title` takes the kind's default title. Confirm and
// Question boxes always offer Cancel; the others only when `withCancel`.
int ShowMessageBox(QWidget* parent, MsgKind kind, const QString& title, const QString& text,
                   bool withCancel = false);

// Tests answer boxes without a window: while a hook is set it is called
// instead of showing anything, and its result is the answer.
using MessageBoxHook = std::function<int(MsgKind kind, const QString& title, const QString& text)>;
void SetMessageBoxHook(MessageBoxHook hook);

}  // namespace orbanix::app
