#include "CReadmeDialog.h"
#include "ui_CReadmeDialog.h"

#include <QFile>
#include <QTextStream>

#include "UpgradeConstants.h"

CReadmeDialog::CReadmeDialog(const QString &name, QWidget *parent)
    : QDialog(parent), ui(new Ui::CReadmeDialog)
{
    ui->setupUi(this);
    setWindowTitle(tr("%1 详情").arg(name));
    ui->readmeTextEdit->setReadOnly(true);
    loadReadme();
}

CReadmeDialog::~CReadmeDialog()
{
    delete ui;
}

void CReadmeDialog::loadReadme()
{
    QFile file(UpgradeConstants::packageReadmePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    // One paragraph per line; the end of the stream adds none.
    while (!stream.atEnd())
        ui->readmeTextEdit->append(stream.readLine());
}
