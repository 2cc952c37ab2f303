#include "app/preview/preview_panel.h"

#include <libheif/heif.h>

#include <QAudioOutput>
#include <QFile>
#include <climits>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLayout>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QPainter>
#include <QVideoFrame>
#include <QVideoSink>

#include "app/preview/preview_texts.h"

namespace orbanix::preview {

namespace {

constexpr int kRetryMs = 100;
constexpr int kMaxRetries = 5;
const char* const kGrey = "#D7D7D7";
const char* const kNoteColour = "#404040";

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString Clock(qint64 ms) {
  const qint64 s = std::max<qint64>(ms, 0) / 1000;
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QImage DecodeHeif(const QString& path) {
  QImage out;
  heif_context* context = heif_context_alloc();
  if (!context) return out;
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  const QByteArray file = path.toLocal8Bit();
  if (heif_context_read_from_file(context, file.constData(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
      heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code ==
          heif_error_Ok) {
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image, heif_channel_interleaved);
    const int h = heif_image_get_height(image, heif_channel_interleaved);
    if (data && w > 0 && h > 0) out = QImage(data, w, h, stride, QImage::Format_RGBA8888).copy();
  }
  if (image) heif_image_release(image);
  if (handle) heif_image_handle_release(handle);
  heif_context_free(context);
  return out;
}

// "xxxx ftyp" with an image brand: an HEIF container whatever its name.
bool LooksLikeHeif(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QByteArray head = f.read(12);
  return head.size() == 12 && head.mid(4, 4) == "ftyp";
}

}  // namespace

QImage LoadPicture(const QString& path) {
  if (LooksLikeHeif(path)) {
    QImage heif = DecodeHeif(path);
    if (!heif.isNull()) return heif;
  }
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  return reader.read();
}

CPreviewPanel::CPreviewPanel(QFrame* panel, QTextEdit* edit, QListWidget* messages, QObject* parent)
    : QObject(parent), panel_(panel), edit_(edit), messages_(messages) {
  InitPreviewResources();
  edit_->setReadOnly(true);
  messages_->setSelectionMode(QAbstractItemView::NoSelection);
  messages_->setFocusPolicy(Qt::NoFocus);
  messages_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  messages_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  BuildContactView();
  BuildMediaView();
  retry_.setInterval(kRetryMs);
  connect(&retry_, &QTimer::timeout, this, [this] {
    if (TryPicture()) {
      retry_.stop();
    } else if (++tries_ > kMaxRetries) {
      retry_.stop();
      ShowNotFound();
    }
  });
  SetMode(Mode::kText);
}

CPreviewPanel::~CPreviewPanel() {
  // The panel's widgets may be gone already: no more state reports to them.
  if (player_) {
    player_->disconnect(this);
    player_->stop();
    delete player_;
    player_ = nullptr;
  }
}

void CPreviewPanel::BuildContactView() {
  contact_ = new QWidget(panel_);
  contact_->setObjectName(QStringLiteral("ContactInfo"));
  auto* grid = new QGridLayout(contact_);
  grid->setContentsMargins(10, 10, 10, 10);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(4);
  auto* name = new QLabel(contact_);
  name->setObjectName(QStringLiteral("TxtUserName"));
  name->setWordWrap(true);
  QFont big = name->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  name->setFont(big);
  name->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(name, 0, 0, 1, 2);
  struct Row {
    const char* caption;
    const char* fallback;
    const char* value;
  };
  static const Row kRows[] = {
      {"LblPhoneDesc", "Phone:", "TxtPhone"},       {"LblEmailDesc", "Email:", "TxtEmail"},
      {"LblAddressDesc", "Address:", "TxtAddress"}, {"LblUrlDesc", "Home Page:", "TxtUrl"},
      {"LblSocialDesc", "Social:", "TxtSocial"},    {"LblCompanyDesc", "Company:", "TxtCompany"},
  };
  int row = 1;
  for (const Row& r : kRows) {
    auto* caption = new QLabel(Text("ContactInfo", r.caption, QString::fromLatin1(r.fallback)), contact_);
    caption->setObjectName(QString::fromLatin1(r.caption));
    caption->setAlignment(Qt::AlignRight | Qt::AlignTop);
    caption->setStyleSheet(QStringLiteral("color: #8e8e93;"));
    auto* value = new QLabel(contact_);
    value->setObjectName(QString::fromLatin1(r.value));
    value->setWordWrap(true);
    value->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    value->setMinimumHeight(30);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(caption, row, 0);
    grid->addWidget(value, row, 1);
    ++row;
  }
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(row, 1);
  panel_->layout()->addWidget(contact_);
}

CVideoView::CVideoView(QWidget* parent) : QWidget(parent), sink_(new QVideoSink(this)) {
  setObjectName(QStringLiteral("VideoView"));
  setMinimumHeight(150);
  connect(sink_, &QVideoSink::videoFrameChanged, this, [this](const QVideoFrame& frame) {
    if (!frame.isValid()) return;
    frame_ = frame.toImage();
    ++frames_;
    update();
  });
}

void CVideoView::Clear() {
  frame_ = QImage();
  frames_ = 0;
  update();
}

void CVideoView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (frame_.isNull()) return;
  const QSize size = frame_.size().scaled(this->size(), Qt::KeepAspectRatio);
  const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, frame_);
}

void CPreviewPanel::BuildMediaView() {
  media_ = new QWidget(panel_);
  media_->setObjectName(QStringLiteral("MediaPlayer"));
  auto* box = new QVBoxLayout(media_);
  box->setContentsMargins(6, 6, 6, 6);
  mediaTitle_ = new QLabel(media_);
  // Values, not captions: no language text of their own.
  mediaTitle_->setObjectName(QStringLiteral("MediaName"));
  mediaTitle_->setWordWrap(true);
  mediaTitle_->setAlignment(Qt::AlignCenter);
  box->addWidget(mediaTitle_);
  // What went wrong with a file that cannot be played, in the panel (the
  // list stays usable; no box to close).
  notice_ = new QLabel(media_);
  notice_->setObjectName(QStringLiteral("MediaNotice"));
  notice_->setWordWrap(true);
  notice_->setAlignment(Qt::AlignCenter);
  notice_->setStyleSheet(QStringLiteral("color: #B3261E; padding: 12px;"));
  notice_->hide();
  box->addWidget(notice_);
  video_ = new CVideoView(media_);
  box->addWidget(video_, 1);
  auto* controls = new QHBoxLayout;
  playButton_ = new QToolButton(media_);
  playButton_->setObjectName(QStringLiteral("BtnPlayPause"));
  playButton_->setIcon(panel_->style()->standardIcon(QStyle::SP_MediaPlay));
  seek_ = new QSlider(Qt::Horizontal, media_);
  seek_->setObjectName(QStringLiteral("SliderSeek"));
  seek_->setMinimumWidth(60);
  time_ = new QLabel(media_);
  time_->setObjectName(QStringLiteral("MediaTime"));
  // Wide enough for "00:00 / 00:00" without pushing the panel wider.
  time_->setMinimumWidth(time_->fontMetrics().horizontalAdvance(QStringLiteral("00:00 / 00:00")));
  time_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  controls->addWidget(playButton_);
  controls->addWidget(seek_, 1);
  controls->addWidget(time_);
  box->addLayout(controls);
  // Audio has no picture: the controls stay at the top.
  audioFiller_ = new QWidget(media_);
  audioFiller_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
  box->addWidget(audioFiller_, 1);
  panel_->layout()->addWidget(media_);

  player_ = new QMediaPlayer(this);
  audio_ = new QAudioOutput(this);
  player_->setAudioOutput(audio_);
  player_->setVideoSink(video_->sink());
  ShowTime();
  connect(playButton_, &QToolButton::clicked, this, [this] {
    if (player_->playbackState() == QMediaPlayer::PlayingState) {
      player_->pause();
    } else {
      player_->play();
    }
  });
  connect(player_, &QMediaPlayer::playbackStateChanged, this, [this](QMediaPlayer::PlaybackState state) {
    playButton_->setIcon(panel_->style()->standardIcon(state == QMediaPlayer::PlayingState ? QStyle::SP_MediaPause
                                                                                           : QStyle::SP_MediaPlay));
  });
  connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 ms) {
    seek_->setRange(0, static_cast<int>(std::min<qint64>(ms, INT_MAX)));
    ShowTime();
  });
  connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 ms) {
    if (!seek_->isSliderDown()) seek_->setValue(static_cast<int>(std::min<qint64>(ms, INT_MAX)));
    ShowTime();
  });
  connect(seek_, &QSlider::sliderMoved, this, [this](int ms) { player_->setPosition(ms); });
  connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error, const QString&) {
    if (error == QMediaPlayer::NoError || player_->source().isEmpty()) return;
    player_->setSource(QUrl());
    video_->hide();
    notice_->setText(Message("MSG1207", QStringLiteral("The file cannot be played.")));
    notice_->show();
  });
}

void CPreviewPanel::ShowTime() {
  const qint64 position = player_->source().isEmpty() ? 0 : player_->position();
  const qint64 duration = player_->source().isEmpty() ? 0 : player_->duration();
  time_->setText(duration > 0 ? Clock(position) + QStringLiteral(" / ") + Clock(duration) : Clock(position));
}

void CPreviewPanel::SetMode(Mode mode) {
  mode_ = mode;
  edit_->setVisible(mode == Mode::kText);
  messages_->setVisible(mode == Mode::kMessages);
  contact_->setVisible(mode == Mode::kContact);
  media_->setVisible(mode == Mode::kMedia);
}

void CPreviewPanel::Clear() {
  StopPlayback();
  retry_.stop();
  edit_->clear();
  messages_->clear();
  for (QLabel* label : contact_->findChildren<QLabel*>()) {
    if (label->objectName().startsWith(QLatin1String("Txt"))) label->clear();
  }
}

void CPreviewPanel::ShowNote(const NoteRecord& note) {
  SetMode(Mode::kText);
  edit_->clear();
  QTextCursor cursor(edit_->document());
  QTextCharFormat grey;
  grey.setForeground(QColor(QString::fromLatin1(kGrey)));
  cursor.insertText(QStringLiteral("  ---------------------------------------------------  \n"), grey);
  QTextCharFormat body;
  body.setForeground(QColor(QString::fromLatin1(note.deleted ? kDeletedColour : kNoteColour)));
  // Every line of the body under its caption, as the first one, so that
  // the captions below stay apart from it.
  QString text = Q(note.body);
  text.replace(QLatin1Char('\n'), QLatin1String("\n     "));
  cursor.insertText(QStringLiteral("Title:\n    ") + Q(note.title) + QStringLiteral("\nNote:\n     ") + text, body);
  // Notes of the current Notes app also know their folder, their creation
  // and the files embedded in them; pictures are shown when the backup
  // holds their file.
  if (!note.folder.empty()) cursor.insertText(QStringLiteral("\nFolder:\n    ") + Q(note.folder), body);
  if (!note.created.empty()) cursor.insertText(QStringLiteral("\nCreated:\n    ") + Q(note.created), body);
  if (note.recoveredFrom.Known()) {
    cursor.insertText(QLatin1Char('\n') + RecoveredFromCaption() + QStringLiteral("\n    ") +
                          Q(RecoveredFromText(note.recoveredFrom)),
                      body);
  }
  if (!note.attachments.empty()) cursor.insertText(QStringLiteral("\nAttachments:"), body);
  for (const NoteAttachment& a : note.attachments) {
    cursor.insertText(QStringLiteral("\n    ") + Q(a.name) + (a.file.empty() ? QStringLiteral(" (not in the backup)") : QString()),
                      body);
    if (a.file.empty()) continue;
    QImageReader reader(QString::fromStdString(a.file.string()));
    const QSize size = reader.size();
    if (size.isValid() && size.width() > 320) reader.setScaledSize(size.scaled(320, 320, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (image.isNull()) continue;
    cursor.insertText(QStringLiteral("\n    "), body);
    cursor.insertImage(image);
  }
  edit_->moveCursor(QTextCursor::Start);
}

void CPreviewPanel::ShowDetail(const std::vector<std::pair<std::string, std::string>>& lines, bool deleted) {
  SetMode(Mode::kText);
  edit_->clear();
  QTextCursor cursor(edit_->document());
  QTextCharFormat grey;
  grey.setForeground(QColor(QString::fromLatin1(kGrey)));
  cursor.insertText(QStringLiteral("  ---------------------------------------------------  \n"), grey);
  QTextCharFormat body;
  body.setForeground(QColor(QString::fromLatin1(deleted ? kDeletedColour : kNoteColour)));
  QString text;
  for (const auto& [caption, value] : lines) {
    QString v = Q(value);
    v.replace(QLatin1Char('\n'), QLatin1String("\n    "));
    text += Q(caption) + QStringLiteral("\n    ") + v + QLatin1Char('\n');
  }
  cursor.insertText(text, body);
  edit_->moveCursor(QTextCursor::Start);
}

CPreviewPanel::Bubble CPreviewPanel::MakeBubble(bool fromMe, bool deleted, const std::string& date,
                                                const std::string& sender, const std::string& text) {
  Bubble b;
  b.fromMe = fromMe;
  b.deleted = deleted;
  b.header = fromMe ? FormatText(QStringLiteral("%s Me:"), {Q(date)})
                    : FormatText(QStringLiteral("%s %s:"), {Q(date), Q(sender)});
  b.text = Q(text);
  return b;
}

QString CPreviewPanel::RecoveredFromCaption() const {
  return Text("Preview", "RecoveredFrom", QStringLiteral("Recovered from:"));
}

QString CPreviewPanel::RecoveredFromTip(const RecoveredFrom& from) const {
  return from.Known() ? RecoveredFromCaption() + QLatin1Char(' ') + Q(RecoveredFromText(from)) : QString();
}

void CPreviewPanel::ShowConversation(const std::vector<MessageRecord>& messages) {
  std::vector<Bubble> bubbles;
  bubbles.reserve(messages.size());
  for (const MessageRecord& m : messages) {
    bubbles.push_back(MakeBubble(m.fromMe != 0, m.deleted != 0, m.date, MessageSender(m), MessageDisplayText(m)));
    bubbles.back().recoveredFrom = RecoveredFromTip(m.recoveredFrom);
  }
  ShowBubbles(bubbles);
}

void CPreviewPanel::ShowChat(const std::vector<ChatMessageRecord>& messages) {
  std::vector<Bubble> bubbles;
  bubbles.reserve(messages.size());
  for (const ChatMessageRecord& m : messages) {
    const std::string& sender = m.senderName.empty() ? m.senderAddress : m.senderName;
    bubbles.push_back(MakeBubble(m.fromMe != 0, m.deleted != 0, m.date, sender, m.text));
    bubbles.back().recoveredFrom = RecoveredFromTip(m.recoveredFrom);
  }
  ShowBubbles(bubbles);
}

void CPreviewPanel::ShowBubbles(const std::vector<Bubble>& bubbles) {
  SetMode(Mode::kMessages);
  messages_->clear();
  auto* head = new QListWidgetItem(QStringLiteral("-------------------- Messages --------------------"), messages_);
  head->setTextAlignment(Qt::AlignCenter);
  head->setForeground(QColor(QString::fromLatin1(kGrey)));
  head->setFlags(Qt::NoItemFlags);

  // Rows are as wide as the list less its vertical scroll bar, which comes
  // as soon as the bubbles outgrow the list (a row wider than that would be
  // cut on the right).
  // The list has just been shown: lay the panel out first so that the
  // list has its real width.
  if (panel_->layout()) panel_->layout()->activate();
  const int scrollBar = messages_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, messages_);
  int width = messages_->width() - 2 * messages_->frameWidth() - scrollBar;
  if (!messages_->isVisible() || width < 160) width = std::max(panel_->width(), 240) - 4 - scrollBar;
  const int bubbleMax = width * 4 / 5;
  // Every row of the list is as wide as its widest one: the heading must
  // not be wider than the list either.
  head->setSizeHint(QSize(width, messages_->fontMetrics().height() + 6));
  for (const Bubble& b : bubbles) {
    // Made inside the list so that its labels take the list's font (the
    // bubble is measured in it).
    auto* row = new QWidget(messages_->viewport());
    auto* box = new QVBoxLayout(row);
    box->setContentsMargins(6, 4, 6, 4);
    box->setSpacing(2);
    const Qt::Alignment side = b.fromMe ? Qt::AlignRight : Qt::AlignLeft;
    auto* header = new QLabel(b.header, row);
    header->setStyleSheet(QStringLiteral("color: #8e8e93; font-size: 10px;"));
    header->setAlignment(side);
    box->addWidget(header);

    // The bubble is as wide as its text, up to four fifths of the list, and
    // as high as the text wrapped at that width.
    const QString text = b.text.isEmpty() ? QStringLiteral(" ") : b.text;
    const QString html = text.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>"));
    auto* bubble = new QLabel(html, row);
    bubble->setTextFormat(Qt::RichText);
    bubble->setWordWrap(true);
    bubble->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QString style = QStringLiteral("border-radius: 10px; padding: 6px 10px; ");
    if (b.deleted) {
      style += QStringLiteral("background: #FFF1E5; border: 1px solid %1; color: %1;").arg(QLatin1String(kDeletedColour));
    } else if (b.fromMe) {
      style += QStringLiteral("background: #2F80ED; color: white;");
    } else {
      style += QStringLiteral("background: #E9E9EB; color: #4D4D4D;");
    }
    bubble->setStyleSheet(style);
    // Where a recovered message lay in its database, for whoever asks.
    if (!b.recoveredFrom.isEmpty()) bubble->setToolTip(b.recoveredFrom);
    // The label measures itself: its width on one line (each line of the
    // text unbroken), narrowed to the most a bubble may take, then the
    // height it needs at that width.
    bubble->ensurePolished();
    bubble->setWordWrap(false);
    const int natural = bubble->sizeHint().width();
    bubble->setWordWrap(true);
    const int bubbleWidth = std::min(natural, bubbleMax);
    bubble->setFixedSize(bubbleWidth, bubble->heightForWidth(bubbleWidth));
    auto* line = new QHBoxLayout;
    line->setSpacing(4);
    if (b.fromMe) line->addStretch(1);
    if (b.deleted && b.fromMe) {
      auto* mark = new QLabel(row);
      mark->setPixmap(QIcon(QStringLiteral(":/preview/deleted_mark.svg")).pixmap(14, 14));
      line->addWidget(mark, 0, Qt::AlignVCenter);
    }
    line->addWidget(bubble);
    if (b.deleted && !b.fromMe) {
      auto* mark = new QLabel(row);
      mark->setPixmap(QIcon(QStringLiteral(":/preview/deleted_mark.svg")).pixmap(14, 14));
      line->addWidget(mark, 0, Qt::AlignVCenter);
    }
    if (!b.fromMe) line->addStretch(1);
    box->addLayout(line);

    auto* item = new QListWidgetItem(messages_);
    item->setFlags(Qt::ItemIsEnabled);
    item->setData(Qt::UserRole, b.deleted);
    item->setData(Qt::UserRole + 1, b.text);
    if (!b.recoveredFrom.isEmpty()) item->setData(Qt::UserRole + 2, b.recoveredFrom);
    item->setSizeHint(QSize(width, row->sizeHint().height()));
    messages_->setItemWidget(item, row);
  }
  messages_->scrollToTop();
}

void CPreviewPanel::ShowContact(const ContactRecord& c) {
  SetMode(Mode::kContact);
  const QString colour = c.deleted ? QString::fromLatin1(kDeletedColour) : QStringLiteral("#1c1c1e");
  auto set = [&](const char* name, const std::string& value) {
    if (auto* label = contact_->findChild<QLabel*>(QString::fromLatin1(name))) {
      label->setText(Q(value));
      label->setStyleSheet(QStringLiteral("color: %1;").arg(colour));
    }
  };
  set("TxtUserName", c.name);
  set("TxtPhone", c.phones);
  set("TxtEmail", c.email);
  set("TxtAddress", c.address);
  set("TxtUrl", c.homePage);
  set("TxtSocial", c.social);
  set("TxtCompany", c.company);
  if (c.deleted) {
    if (auto* label = contact_->findChild<QLabel*>(QStringLiteral("TxtUserName"))) {
      label->setText(QStringLiteral("<img src=\":/preview/deleted_mark.svg\" width=14 height=14> ") +
                     Q(c.name).toHtmlEscaped());
    }
  }
  // Where a recovered contact lay in its database, for whoever asks.
  if (auto* label = contact_->findChild<QLabel*>(QStringLiteral("TxtUserName"))) {
    label->setToolTip(RecoveredFromTip(c.recoveredFrom));
  }
}

QString CPreviewPanel::ContactText(const char* name) const {
  auto* label = contact_->findChild<QLabel*>(QString::fromLatin1(name));
  return label ? label->text() : QString();
}

bool CPreviewPanel::ShowPicture(const QString& path) {
  SetMode(Mode::kText);
  retry_.stop();
  edit_->clear();
  picture_ = path;
  tries_ = 0;
  if (TryPicture()) return true;
  retry_.start();
  return false;
}

bool CPreviewPanel::TryPicture() {
  const QImage image = LoadPicture(picture_);
  if (image.isNull() || (image.width() <= 2 && image.height() <= 2)) return false;
  int width = edit_->viewport()->width() - 2 * static_cast<int>(edit_->document()->documentMargin()) - 4;
  if (width < 100) width = std::max(panel_->width(), 240) - 30;
  const QImage shown = image.width() > width ? image.scaledToWidth(width, Qt::SmoothTransformation) : image;
  const QUrl name(QStringLiteral("preview-picture://%1").arg(++pictureSerial_));
  edit_->clear();
  edit_->document()->addResource(QTextDocument::ImageResource, name, shown);
  QTextCursor cursor(edit_->document());
  QTextImageFormat format;
  format.setName(name.toString());
  format.setWidth(shown.width());
  format.setHeight(shown.height());
  cursor.insertImage(format);
  return true;
}

void CPreviewPanel::ShowNotFound() {
  edit_->clear();
  edit_->setPlainText(Text("PageScan", "FileNotFound", QStringLiteral("This picture cannot be shown (the file is damaged or not a picture).")));
}

void CPreviewPanel::Play(const QString& path, bool video, const QString& title) {
  StopPlayback();
  SetMode(Mode::kMedia);
  video_->setVisible(video);
  audioFiller_->setVisible(!video);
  notice_->hide();
  mediaTitle_->setText(video || title.isEmpty() ? title : QStringLiteral("\u266B  ") + title);
  mediaTitle_->setVisible(!title.isEmpty());
  player_->setSource(QUrl::fromLocalFile(path));
  player_->play();
}

void CPreviewPanel::StopPlayback() {
  if (!player_) return;
  player_->stop();
  player_->setSource(QUrl());
  video_->Clear();
  seek_->setValue(0);
  ShowTime();
}

}  // namespace orbanix::preview
