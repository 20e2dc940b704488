#include "core/display/StarLabel.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QTextCursor>
#include <QTextDocumentFragment>

#include <cmath>

namespace velmo {

StarLabel::StarLabel(QWidget* parent) : QWidget(parent) {
    document_.setDocumentMargin(0);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void StarLabel::setDocumentContent(const QTextDocument& document) {
    document_.clear();
    QTextCursor cursor(&document_);
    cursor.insertFragment(QTextDocumentFragment(&document));
    updateGeometry();
    update();
}

void StarLabel::clear() {
    document_.clear();
    updateGeometry();
    update();
}

QSize StarLabel::sizeHint() const {
    const QSizeF size = document_.size();
    return {static_cast<int>(std::ceil(size.width())) + 2, static_cast<int>(std::ceil(size.height()))};
}

QSize StarLabel::minimumSizeHint() const { return sizeHint(); }

void StarLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = palette();
    context.palette.setColor(QPalette::Text, palette().color(foregroundRole()));
    const qreal top = (height() - document_.size().height()) / 2.0;
    painter.translate(0, std::max<qreal>(0.0, top));
    document_.documentLayout()->draw(&painter, context);
}

}  // namespace velmo
