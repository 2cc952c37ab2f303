// The "select all" box of the category page. It has three looks: checked,
// unchecked and half-checked (some but not all options ticked). A click on
// a checked or half-checked box unticks everything, a click on an unchecked
// box ticks everything; the half-checked look is only ever set by the page.
#pragma once

#include <QCheckBox>

class CSelectAllCheckBox : public QCheckBox {
  Q_OBJECT
 public:
  explicit CSelectAllCheckBox(QWidget* parent = nullptr) : QCheckBox(parent) { setTristate(true); }

 protected:
  void nextCheckState() override {
    setCheckState(checkState() == Qt::Unchecked ? Qt::Checked : Qt::Unchecked);
  }
};
