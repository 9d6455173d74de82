#include "CStatusForm.h"
#include "ui_CStatusForm.h"

#include <QDateTime>
#include <QGridLayout>
#include <QTimer>

namespace {

CStatusForm::Clock wallClock = &QDateTime::currentMSecsSinceEpoch;

} // namespace

void CStatusForm::setClock(Clock now)
{
    wallClock = now ? now : &QDateTime::currentMSecsSinceEpoch;
}

CStatusForm::CStatusForm(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::CStatusForm)
    , timer(nullptr)
{
    ui->setupUi(this);
    lastTipTime = wallClock();
    timer = new QTimer(this);
    timer->setInterval(500);
    connect(timer, &QTimer::timeout, this, &CStatusForm::check);
    connect(this, &CStatusForm::stopTimer, timer, &QTimer::stop);
    timer->start();
}

CStatusForm::~CStatusForm()
{
    if (timer) {
        timer->stop();
        delete timer;
    }
    timer = nullptr;
    delete ui;
}

CStatusForm *CStatusForm::placeIn(QWidget *container, QWidget *parent)
{
    auto *form = new CStatusForm(parent);
    auto *layout = new QGridLayout(container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(form);
    return form;
}

void CStatusForm::showTip(const QString &mess)
{
    setTip(QStringLiteral("QLabel{color:black}"), mess);
}

void CStatusForm::showErrorTip(const QString &mess)
{
    setTip(QStringLiteral("QLabel{color:red}"), mess);
}

void CStatusForm::setTip(const QString &styleSheet, const QString &mess)
{
    ui->tip->setStyleSheet(styleSheet);
    ui->tip->setText(mess);
    lastTipTime = wallClock();
}

void CStatusForm::stopCheck()
{
    if (timer)
        emit stopTimer();
}

void CStatusForm::resumeCheck()
{
    ui->tip->clear();
    if (timer)
        timer->start();
}

void CStatusForm::check()
{
    if (ui->tip->text().isEmpty())
        return;
    // Wall-clock age: a message is wiped at the first tick more than 2 s after it was set.
    if (wallClock() - 2000 > lastTipTime)
        ui->tip->clear();
}
