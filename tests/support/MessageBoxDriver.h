#pragma once

// Answers the program's modal message boxes in widget tests: arm it with the
// button text to press, then trigger the action that opens the box. It records
// what the box showed so the test can check title, text and buttons.
//
//   MessageBoxDriver driver;
//   driver.answer(QStringLiteral("是"));
//   window.close();
//   QVERIFY(driver.wasShown());
//   QCOMPARE(driver.text(), QStringLiteral("是否退出?"));

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

class MessageBoxDriver : public QObject
{
public:
    explicit MessageBoxDriver(QObject *parent = nullptr)
        : QObject(parent)
    {
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [this] { look(); });
    }

    // Press the button whose text is buttonText (or, when empty, the button of
    // the given standard kind) on the next message box that comes up.
    void answer(const QString &buttonText)
    {
        wanted = buttonText;
        reset();
        poll.start();
    }
    void answer(QMessageBox::StandardButton button)
    {
        wantedStandard = button;
        answer(QString());
    }

    bool wasShown() const { return shown; }
    QString title() const { return boxTitle; }
    QString text() const { return boxText; }
    QStringList buttons() const { return buttonTexts; }
    QString defaultButton() const { return defaultText; }
    bool hasEscapeButton() const { return escape; }
    QMessageBox::Icon icon() const { return boxIcon; }

    // Optional hook run while the box is up, before the answer is given.
    std::function<void(QMessageBox *)> inspect;

private:
    void reset()
    {
        shown = false;
        boxTitle.clear();
        boxText.clear();
        buttonTexts.clear();
        defaultText.clear();
        escape = false;
    }

    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        shown = true;
        boxTitle = box->windowTitle();
        boxText = box->text();
        boxIcon = box->icon();
        // Buttons in the order they appear on screen, left to right.
        QList<QAbstractButton *> all = box->buttons();
        std::sort(all.begin(), all.end(), [](QAbstractButton *a, QAbstractButton *b) {
            return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x();
        });
        for (QAbstractButton *button : all)
            buttonTexts.append(button->text());
        if (box->defaultButton())
            defaultText = box->defaultButton()->text();
        escape = box->escapeButton() != nullptr;
        if (inspect)
            inspect(box);
        QAbstractButton *target = nullptr;
        if (wanted.isEmpty())
            target = box->button(wantedStandard);
        for (QAbstractButton *button : all) {
            if (!target && button->text() == wanted)
                target = button;
        }
        if (target)
            target->click();
        else
            box->done(0);
    }

    QTimer poll;
    QString wanted;
    QMessageBox::StandardButton wantedStandard = QMessageBox::Ok;
    bool shown = false;
    QString boxTitle;
    QString boxText;
    QStringList buttonTexts;
    QString defaultText;
    bool escape = false;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
};
