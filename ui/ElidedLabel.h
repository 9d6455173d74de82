#pragma once

#include <QLabel>
#include <QUrl>

// A one-line label for texts that may be longer than the window is wide (an
// action on a file, a log file's path): it never widens the window, and when
// the text doesn't fit it shows both ends with "…" in the middle. text() and
// the tooltip keep the whole text. It may also stand for a link (a log file to
// open): then it is drawn as one and a click, Enter or Space emits linkClicked.
class ElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    // Sets the text and, when it is not shown whole, the tooltip as well.
    void setFullText(const QString &text);

    // An empty url makes the label plain text again.
    void setLink(const QUrl &url);
    QUrl link() const { return target; }

    QSize minimumSizeHint() const override;

signals:
    void linkClicked(const QUrl &url);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void updateToolTip();

    QUrl target;
};
