// The loading animation of the scan page: a ring of dots that turns while
// the scan runs and stands still while it is paused or done.
#pragma once

#include <QTimer>
#include <QWidget>

class CButtonGifUI : public QWidget {
  Q_OBJECT
 public:
  explicit CButtonGifUI(QWidget* parent = nullptr);

  void Start();
  void Stop();
  bool IsRunning() const { return timer_.isActive(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  int frame_ = 0;
};
