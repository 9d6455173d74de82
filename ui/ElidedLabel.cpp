#include "ElidedLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

ElidedLabel::ElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString &text)
{
    setText(text);
    updateToolTip();
}

void ElidedLabel::setLink(const QUrl &url)
{
    target = url;
    const bool linked = !url.isEmpty();
    setFocusPolicy(linked ? Qt::TabFocus : Qt::NoFocus);
    if (linked)
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    update();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QFont shownFont = font(); // a link is underlined, whatever a style sheet sets
    shownFont.setUnderline(!target.isEmpty());
    painter.setFont(shownFont);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
    style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), shown,
        target.isEmpty() ? foregroundRole() : QPalette::Link);
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    updateToolTip();
}

void ElidedLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (!target.isEmpty() && event->button() == Qt::LeftButton && rect().contains(event->pos()))
        emit linkClicked(target);
    QLabel::mouseReleaseEvent(event);
}

void ElidedLabel::keyPressEvent(QKeyEvent *event)
{
    const bool activates = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter
        || event->key() == Qt::Key_Space;
    if (!target.isEmpty() && activates)
        emit linkClicked(target);
    else
        QLabel::keyPressEvent(event);
}

void ElidedLabel::updateToolTip()
{
    const bool whole = fontMetrics().horizontalAdvance(text()) <= contentsRect().width();
    // As plain text: a path may hold what would read as markup.
    setToolTip(whole ? QString() : Qt::convertFromPlainText(text(), Qt::WhiteSpaceNoWrap));
}
