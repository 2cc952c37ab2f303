#include "app/button_gif.h"

#include <QPainter>
#include <QtMath>

namespace {
constexpr int kDots = 10;
}

CButtonGifUI::CButtonGifUI(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(90);
  connect(&timer_, &QTimer::timeout, this, [this] {
    frame_ = (frame_ + 1) % kDots;
    update();
  });
}

void CButtonGifUI::Start() { timer_.start(); }

void CButtonGifUI::Stop() {
  timer_.stop();
  update();
}

void CButtonGifUI::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF centre(width() / 2.0, height() / 2.0);
  const qreal radius = qMin(width(), height()) / 2.0 - 3;
  for (int i = 0; i < kDots; ++i) {
    const qreal angle = 2 * M_PI * i / kDots - M_PI / 2;
    // The dot at the current frame is the brightest; the others fade behind it.
    const int age = (frame_ - i + kDots) % kDots;
    QColor colour(QStringLiteral("#2f80d1"));
    colour.setAlphaF(timer_.isActive() ? 1.0 - age * 0.085 : 0.35);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(centre + QPointF(qCos(angle) * radius, qSin(angle) * radius), 2.4, 2.4);
  }
}
