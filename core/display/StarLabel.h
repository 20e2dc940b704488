#pragma once
// A label that shows a formatted text document. Unlike QLabel's rich text it keeps every
// character format, the text outline included, so a star can be gold with a brown outline.
// It can elide: too narrow, it ends the text with "…" and shows the whole text as its tool tip.
// Or it can shrink: too narrow, it draws the whole text smaller (down to half its size).

#include <QTextDocument>
#include <QWidget>

namespace velmo {

class StarLabel : public QWidget {
    Q_OBJECT
public:
    explicit StarLabel(QWidget* parent = nullptr);

    // The shown text; the label keeps no link to the caller's document after the call.
    void setDocumentContent(const QTextDocument& document);
    void clear();
    const QTextDocument& document() const { return document_; }
    // The whole text, whether or not it is elided on screen.
    QString text() const { return document_.toPlainText(); }

    // Qt::ElideRight lets the label grow narrower than its text; Qt::ElideNone (the default)
    // keeps it as wide as the text.
    void setElideMode(Qt::TextElideMode mode);
    // Given less than its width, the label draws the text scaled down to fit (not below half).
    void setShrinkToFit(bool shrink);
    // True when the text on screen is cut short.
    bool isElided() const { return elided_; }
    // The text as drawn: the whole text, or its start followed by "…".
    QString shownText() const { return shown_.toPlainText(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Fits the document into the width, and keeps the tool tip and accessible text in step.
    void relayout();

    QTextDocument document_;
    QTextDocument shown_;
    Qt::TextElideMode elideMode_ = Qt::ElideNone;
    bool shrink_ = false;
    bool elided_ = false;
};

}  // namespace velmo
