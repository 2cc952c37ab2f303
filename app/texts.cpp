#include "app/texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>

#include "platform/language.h"

namespace orbanix::app {

namespace {

LanguageSettings* g_override = nullptr;
constexpr const char* kLayoutText = "orbanixLayoutText";

QString Unescape(const std::string& text) {
  QString out = QString::fromStdString(text);
  out.replace(QLatin1String("\\n"), QLatin1String("\n"));
  return out;
}

template <typename T, typename Get, typename Set>
void ApplyOne(T* object, const char* section, Get get, Set set) {
  const QString name = object->objectName();
  if (name.isEmpty()) return;
  QVariant layout = object->property(kLayoutText);
  if (!layout.isValid()) {
    layout = get(object);
    object->setProperty(kLayoutText, layout);
  }
  if (Language().HasText(section, name.toStdString())) {
    set(object, Text(section, name));
  } else {
    set(object, layout.toString());
  }
}

}  // namespace

LanguageSettings& Language() { return g_override ? *g_override : LanguageSettings::Instance(); }

void SetLanguageForTests(LanguageSettings* settings) { g_override = settings; }

QString Text(const char* section, const QString& key, const QString& fallback) {
  const std::string text = Language().Text(section, key.toStdString());
  if (text.empty()) return fallback;
  return Unescape(text);
}

QString Message(const char* key, const QString& fallback) { return Text("Messages", key, fallback); }

void ApplyTexts(QWidget* root, const char* section) {
  if (Language().HasText(section, "Title")) root->setWindowTitle(Text(section, "Title"));
  // Buttons and group titles read "&" as a shortcut mark; the language
  // texts mean a plain "&".
  auto plain = [](QString t) { return t.replace(QLatin1Char('&'), QLatin1String("&&")); };
  auto unplain = [](QString t) { return t.replace(QLatin1String("&&"), QLatin1String("&")); };
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    ApplyOne(button, section, [&](QAbstractButton* b) { return unplain(b->text()); },
             [&](QAbstractButton* b, const QString& t) { b->setText(plain(t)); });
  }
  for (QLabel* label : root->findChildren<QLabel*>()) {
    // Picture labels keep their picture.
    if (!label->pixmap().isNull()) continue;
    ApplyOne(label, section, [](QLabel* l) { return l->text(); }, [](QLabel* l, const QString& t) { l->setText(t); });
  }
  for (QGroupBox* box : root->findChildren<QGroupBox*>()) {
    ApplyOne(box, section, [&](QGroupBox* b) { return unplain(b->title()); },
             [&](QGroupBox* b, const QString& t) { b->setTitle(plain(t)); });
  }
  for (QAction* action : root->findChildren<QAction*>()) {
    ApplyOne(action, section, [&](QAction* a) { return unplain(a->text()); },
             [&](QAction* a, const QString& t) { a->setText(plain(t)); });
  }
}

QString FormatText(const QString& format, const QVariantList& args) {
  QString out;
  int next = 0;
  for (int i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    const QChar kind = format[i + 1];
    if (kind == '%') {
      out += '%';
      ++i;
      continue;
    }
    if (kind != 's' && kind != 'd') {
      out += c;
      continue;
    }
    if (next >= args.size()) {
      out += c;
      continue;
    }
    const QVariant& arg = args[next];
    if (kind == 'd') {
      bool isInt = false;
      const qlonglong value = arg.toLongLong(&isInt);
      const bool integral = arg.typeId() == QMetaType::Int || arg.typeId() == QMetaType::LongLong ||
                            arg.typeId() == QMetaType::UInt || arg.typeId() == QMetaType::ULongLong;
      if (!isInt || !integral) {
        out += c;
        continue;
      }
      out += QString::number(value);
    } else {
      out += arg.toString();
    }
    ++next;
    ++i;
  }
  return out;
}

}  // namespace orbanix::app
