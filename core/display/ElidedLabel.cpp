#include "core/display/ElidedLabel.h"

#include <QPainter>

namespace velmo {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

QString ElidedLabel::shownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

void ElidedLabel::refreshElision() {
    elided_ = !text().isEmpty() && fontMetrics().horizontalAdvance(text()) > contentsRect().width();
    setToolTip(elided_ ? text() : QString());
    setAccessibleDescription(text());
    update();
}

QSize ElidedLabel::minimumSizeHint() const {
    const QSize full = QLabel::minimumSizeHint();
    return {std::min(full.width(), fontMetrics().horizontalAdvance(QStringLiteral("M…")) * 2), full.height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    refreshElision();
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    painter.drawText(contentsRect(), static_cast<int>(alignment()) | Qt::TextSingleLine, shownText());
}

}  // namespace velmo
