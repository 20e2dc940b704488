#pragma once
// A one-line QLabel that may grow narrower than its text: it then draws the start of the text
// followed by "…" and shows the whole text as its tool tip. text() is always the whole text.

#include <QLabel>

namespace velmo {

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // QLabel::setText is not virtual: callers that change the text call this afterwards, so the
    // tool tip follows (a resize refreshes it too).
    void refreshElision();
    bool isElided() const { return elided_; }
    // The text as drawn.
    QString shownText() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool elided_ = false;
};

}  // namespace velmo
