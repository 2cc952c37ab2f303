// Texts and questions of the preview views and their windows.
//
// Texts come from the language file by section and control name (messages
// by their MSGnnnn key in "Messages"); a missing text gives the fallback.
// Questions and notices go through one function so that tests can answer
// them without a window.
#pragma once

#include <QString>
#include <QVariant>
#include <QWidget>
#include <functional>

namespace orbanix {
class LanguageSettings;
}

namespace orbanix::preview {

// Registers the images of the preview views (once).
void InitPreviewResources();

// The settings read from: the process-wide ones unless replaced (tests).
LanguageSettings& Language();
void SetLanguage(LanguageSettings* settings);

QString Text(const char* section, const char* key, const QString& fallback = {});
QString Message(const char* key, const QString& fallback = {});

// printf-like use of a language text: %s takes any value, %d an integer,
// %% is a percent sign. A conversion without a fitting argument stays as
// written, so a wrong language file shows a mistake instead of crashing.
QString FormatText(const QString& format, const QVariantList& args);

// The size text of the lists and the statistics line ("%d Bytes", "%.2f KB", ...).
QString SizeString(quint64 bytes);

enum class AskKind { kQuestion, kInformation, kError };
inline constexpr int kAnswerYes = 1;
inline constexpr int kAnswerNo = 2;

// Shows a modal box and returns 1 (OK / Yes) or 2 (Cancel / No / closed).
int Ask(QWidget* parent, AskKind kind, const QString& text);

// While a hook is set it answers instead of a box.
using AskHook = std::function<int(AskKind kind, const QString& text)>;
void SetAskHook(AskHook hook);

// Asks for a password in a modal window with a hidden field; false when the
// user cancels. While a hook is set it answers instead (false: cancelled).
bool AskPassword(QWidget* parent, const QString& text, QString& password);
using PasswordHook = std::function<bool(const QString& text, QString& password)>;
void SetPasswordHook(PasswordHook hook);

// The colour of deleted items in every list and preview.
inline constexpr const char* kDeletedColour = "#F37302";

}  // namespace orbanix::preview
