#pragma once

#include <QLabel>

// A one-line label for texts that may be longer than the window is wide (an
// action on a file, a log file's path): it never widens the window, and when
// the text doesn't fit it shows both ends with "…" in the middle. text() and
// the tooltip keep the whole text.
class ElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    // Sets the text and, when it is not shown whole, the tooltip as well.
    void setFullText(const QString &text);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateToolTip();
};
