#pragma once
// A label that shows a formatted text document. Unlike QLabel's rich text it keeps every
// character format, the text outline included, so a star can be gold with a brown outline.

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
    QString text() const { return document_.toPlainText(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTextDocument document_;
};

}  // namespace velmo
