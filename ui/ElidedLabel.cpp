#include "ElidedLabel.h"

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

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
    style()->drawItemText(
        &painter, area, int(alignment()), palette(), isEnabled(), shown, foregroundRole());
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    updateToolTip();
}

void ElidedLabel::updateToolTip()
{
    const bool whole = fontMetrics().horizontalAdvance(text()) <= contentsRect().width();
    // As plain text: a path may hold what would read as markup.
    setToolTip(whole ? QString() : Qt::convertFromPlainText(text(), Qt::WhiteSpaceNoWrap));
}
