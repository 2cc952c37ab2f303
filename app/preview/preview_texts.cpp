#include "app/preview/preview_texts.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <algorithm>
#include <cstdint>

#include "export/text_format.h"
#include "platform/language.h"

// The images of the preview views live in this library's resource file,
// which a static library must register itself.
static void InitResourcesOnce() { Q_INIT_RESOURCE(preview); }

namespace orbanix::preview {

void InitPreviewResources() {
  static const bool done = (InitResourcesOnce(), true);
  (void)done;
}

namespace {
LanguageSettings* g_language = nullptr;
AskHook g_askHook;
}  // namespace

LanguageSettings& Language() { return g_language ? *g_language : LanguageSettings::Instance(); }
void SetLanguage(LanguageSettings* settings) { g_language = settings; }

QString Text(const char* section, const char* key, const QString& fallback) {
  const std::string text = Language().Text(section, key);
  if (text.empty()) return fallback;
  QString out = QString::fromStdString(text);
  out.replace(QLatin1String("\\n"), QLatin1String("\n"));
  return out;
}

QString Message(const char* key, const QString& fallback) { return Text("Messages", key, fallback); }

QString FormatText(const QString& format, const QVariantList& args) {
  QString out;
  int next = 0;
  for (int i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c != QLatin1Char('%') || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    const QChar kind = format[i + 1];
    if (kind == QLatin1Char('%')) {
      out += QLatin1Char('%');
      ++i;
      continue;
    }
    if ((kind == QLatin1Char('s') || kind == QLatin1Char('d')) && next < args.size()) {
      const QVariant& value = args[next];
      bool integral = false;
      const qlonglong n = value.toLongLong(&integral);
      if (kind == QLatin1Char('s')) {
        out += value.toString();
      } else if (integral && value.typeId() != QMetaType::QString) {
        out += QString::number(n);
      } else {
        out += c;
        continue;  // left as written; the argument stays for the next one
      }
      ++next;
      ++i;
      continue;
    }
    out += c;
  }
  return out;
}

QString SizeString(quint64 bytes) {
  return QString::fromStdString(SizeText(static_cast<int64_t>(std::min<quint64>(bytes, INT64_MAX))));
}

int Ask(QWidget* parent, AskKind kind, const QString& text) {
  if (g_askHook) return g_askHook(kind, text);
  switch (kind) {
    case AskKind::kQuestion:
      return QMessageBox::question(parent, Message("MSG0404", QStringLiteral("Question")), text,
                                   QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok
                 ? kAnswerYes
                 : kAnswerNo;
    case AskKind::kInformation:
      QMessageBox::information(parent, Message("MSG0403", QStringLiteral("Information")), text);
      return kAnswerYes;
    case AskKind::kError:
      QMessageBox::critical(parent, Message("MSG0401", QStringLiteral("Error")), text);
      return kAnswerYes;
  }
  return kAnswerNo;
}

void SetAskHook(AskHook hook) { g_askHook = std::move(hook); }

namespace {
PasswordHook g_passwordHook;
}  // namespace

bool AskPassword(QWidget* parent, const QString& text, QString& password) {
  if (g_passwordHook) return g_passwordHook(text, password);
  bool ok = false;
  password = QInputDialog::getText(parent, Text("Preview", "LockedNoteTitle", QStringLiteral("Locked note")), text,
                                   QLineEdit::Password, QString(), &ok);
  return ok;
}

void SetPasswordHook(PasswordHook hook) { g_passwordHook = std::move(hook); }

}  // namespace orbanix::preview
