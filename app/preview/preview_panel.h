// The preview panel of the scan page ("PreviewLayout"): the read-only rich
// text "PreviewEdit" (notes, pictures, notices), the header-less list
// "MessagesList" (messages and WhatsApp chats as bubbles), the contact
// detail ("ContactInfo") and the player of audio and video copies, with
// play/pause and a seek bar. Deleted records are drawn in #F37302.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMediaPlayer>
#include <QPointer>
#include <QSlider>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <vector>

#include "extractors/records.h"

class QAudioOutput;
class QVideoSink;

namespace orbanix::preview {

// A picture file as an image: whatever Qt reads by content, and HEIC/HEIF
// through libheif. Null when it cannot be read.
QImage LoadPicture(const QString& path);

// The picture of the player: the latest frame of its video sink, scaled to
// fit on black. Painted by the widget itself, so it shows wherever widgets
// are drawn (no native video window needed).
class CVideoView : public QWidget {
  Q_OBJECT
 public:
  explicit CVideoView(QWidget* parent = nullptr);
  QVideoSink* sink() const { return sink_; }
  const QImage& frame() const { return frame_; }
  // How many frames arrived since the last Clear.
  int frames() const { return frames_; }
  void Clear();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QVideoSink* sink_;
  QImage frame_;
  int frames_ = 0;
};

class CPreviewPanel : public QObject {
  Q_OBJECT
 public:
  enum class Mode { kText, kMessages, kContact, kMedia };

  // Works inside `panel` (whose layout holds `edit` and `messages`); the
  // contact detail and the player are added to that layout.
  CPreviewPanel(QFrame* panel, QTextEdit* edit, QListWidget* messages, QObject* parent = nullptr);
  ~CPreviewPanel() override;

  void SetMode(Mode mode);
  Mode mode() const { return mode_; }
  // Empties every view and stops playback.
  void Clear();

  void ShowNote(const NoteRecord& note);
  void ShowConversation(const std::vector<MessageRecord>& messages);
  void ShowChat(const std::vector<ChatMessageRecord>& messages);
  void ShowContact(const ContactRecord& contact);
  // The fields of a reminder, an event, a bookmark or a visited page: each
  // caption on a line of its own and its value indented below, as a note.
  void ShowDetail(const std::vector<std::pair<std::string, std::string>>& lines, bool deleted);

  // Shows a picture in "PreviewEdit"; a file that cannot be read (or comes
  // out at most 2 x 2 pixels) is tried again every 100 ms, and after five
  // more failures the panel says that it cannot be shown. True when it
  // was shown at once.
  bool ShowPicture(const QString& path);
  // Plays an audio or video copy inside the panel; `title` (the item's
  // name) is shown above the player.
  void Play(const QString& path, bool video, const QString& title = {});
  // Ends any playback and lets go of the file.
  void StopPlayback();

  QTextEdit* edit() const { return edit_; }
  QListWidget* messages() const { return messages_; }
  QWidget* contactView() const { return contact_; }
  QWidget* mediaView() const { return media_; }
  QMediaPlayer* player() const { return player_; }
  CVideoView* videoView() const { return video_; }
  QLabel* mediaNotice() const { return notice_; }
  // The text of a contact detail label ("TxtPhone", ...).
  QString ContactText(const char* name) const;

 private:
  struct Bubble {
    QString header;
    QString text;
    bool fromMe = false;
    bool deleted = false;
    QString recoveredFrom;  // "Recovered from: free block, page 3, offset 812" for a recovered message
  };
  QString RecoveredFromCaption() const;
  // "Recovered from: ..." for a row recovered from free space, else empty.
  QString RecoveredFromTip(const RecoveredFrom& from) const;
  // A bubble: "<date> Me:" for the owner's messages, "<date> <sender>:"
  // for the other party's.
  static Bubble MakeBubble(bool fromMe, bool deleted, const std::string& date, const std::string& sender,
                           const std::string& text);
  void ShowBubbles(const std::vector<Bubble>& bubbles);
  void BuildContactView();
  void BuildMediaView();
  bool TryPicture();
  void ShowNotFound();
  void ShowTime();

  QFrame* panel_;
  QTextEdit* edit_;
  QListWidget* messages_;
  QWidget* contact_ = nullptr;
  QWidget* media_ = nullptr;
  QLabel* mediaTitle_ = nullptr;
  QLabel* notice_ = nullptr;  // "MediaNotice": why a file cannot be played
  CVideoView* video_ = nullptr;
  QWidget* audioFiller_ = nullptr;
  QToolButton* playButton_ = nullptr;
  QSlider* seek_ = nullptr;
  QLabel* time_ = nullptr;
  QMediaPlayer* player_ = nullptr;
  QAudioOutput* audio_ = nullptr;
  Mode mode_ = Mode::kText;
  QTimer retry_;
  QString picture_;
  int tries_ = 0;
  int pictureSerial_ = 0;
};

}  // namespace orbanix::preview
