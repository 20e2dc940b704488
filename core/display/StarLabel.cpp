#include "core/display/StarLabel.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QTextCursor>
#include <QTextDocumentFragment>

#include <cmath>

namespace velmo {

namespace {

constexpr int kSlack = 2;  // room for the outline of the last glyph

int widthOf(const QTextDocument& document) { return static_cast<int>(std::ceil(document.idealWidth())) + kSlack; }

void copyInto(QTextDocument& target, const QTextDocument& source) {
    target.clear();
    QTextCursor cursor(&target);
    cursor.insertFragment(QTextDocumentFragment(&source));
}

// `source` cut after `keep` characters, with "…" in the format of the last kept one.
void cutInto(QTextDocument& target, const QTextDocument& source, int keep) {
    copyInto(target, source);
    QTextCursor cursor(&target);
    cursor.setPosition(keep);
    QTextCharFormat format = cursor.charFormat();
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    // No space before the ellipsis: "Toronyliget…", not "Toronyliget …".
    while (cursor.position() > 0 && target.characterAt(cursor.position() - 1).isSpace())
        cursor.deletePreviousChar();
    cursor.insertText(QStringLiteral("…"), format);
}

}  // namespace

StarLabel::StarLabel(QWidget* parent) : QWidget(parent) {
    document_.setDocumentMargin(0);
    shown_.setDocumentMargin(0);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void StarLabel::setDocumentContent(const QTextDocument& document) {
    copyInto(document_, document);
    relayout();
    updateGeometry();
}

void StarLabel::clear() {
    document_.clear();
    relayout();
    updateGeometry();
}

void StarLabel::setElideMode(Qt::TextElideMode mode) {
    elideMode_ = mode == Qt::ElideNone ? Qt::ElideNone : Qt::ElideRight;
    relayout();
    updateGeometry();
}

QSize StarLabel::sizeHint() const {
    return {widthOf(document_), static_cast<int>(std::ceil(document_.size().height()))};
}

void StarLabel::setShrinkToFit(bool shrink) {
    shrink_ = shrink;
    updateGeometry();
    update();
}

QSize StarLabel::minimumSizeHint() const {
    if (shrink_)
        return {sizeHint().width() / 2, sizeHint().height() / 2};
    if (elideMode_ == Qt::ElideNone)
        return sizeHint();
    // Enough for one letter and the ellipsis.
    return {std::min(sizeHint().width(), fontMetrics().horizontalAdvance(QStringLiteral("M…")) * 2),
            sizeHint().height()};
}

void StarLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
}

void StarLabel::relayout() {
    const int characters = document_.characterCount() - 1;  // without the closing paragraph mark
    elided_ = elideMode_ != Qt::ElideNone && characters > 1 && widthOf(document_) > width();
    if (!elided_) {
        copyInto(shown_, document_);
    } else {
        // The most characters that fit together with the ellipsis; at least one is kept.
        int low = 1;
        int high = characters - 1;
        while (low < high) {
            const int middle = (low + high + 1) / 2;
            cutInto(shown_, document_, middle);
            if (widthOf(shown_) <= width())
                low = middle;
            else
                high = middle - 1;
        }
        cutInto(shown_, document_, low);
    }
    setToolTip(elided_ ? text() : QString());
    setAccessibleDescription(text());
    update();
}

void StarLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = palette();
    context.palette.setColor(QPalette::Text, palette().color(foregroundRole()));
    const qreal scale = shrink_ && widthOf(shown_) > width() ? std::max(0.5, qreal(width()) / widthOf(shown_)) : 1.0;
    const qreal top = (height() - shown_.size().height() * scale) / 2.0;
    painter.translate(0, std::max<qreal>(0.0, top));
    painter.scale(scale, scale);
    shown_.documentLayout()->draw(&painter, context);
}

}  // namespace velmo
