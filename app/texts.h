// Texts of the windows: looked up in the language file of the current
// language by section (the window or page name) and control name, messages
// by their MSGnnnn key in the section "Messages". A missing text leaves the
// text of the form.
#pragma once

#include <QString>
#include <QVariant>
#include <QWidget>

namespace orbanix {
class LanguageSettings;
}

namespace orbanix::app {

// The settings the windows read from (the process-wide settings unless a
// test or the language menu replaced them).
LanguageSettings& Language();
void SetLanguageForTests(LanguageSettings* settings);

// The text of a control, or `fallback` when the language file has none.
// "\n" in a text stands for a line break.
QString Text(const char* section, const QString& key, const QString& fallback = {});
QString Message(const char* key, const QString& fallback = {});

// Gives every widget and action below `root` whose object name has a text in
// `section` that text; "Title" names the window title. Widgets whose text
// is missing get back the text the form gave them, so switching languages
// never leaves a text of the previous language behind.
void ApplyTexts(QWidget* root, const char* section);

// printf-like formatting of a language text that checks every conversion
// against its argument: %s takes any value, %d an integer, %% is a percent
// sign. A conversion without a fitting argument is left as written, so a
// wrong language file shows a visible mistake instead of crashing.
QString FormatText(const QString& format, const QVariantList& args);

}  // namespace orbanix::app
