#include "CReadmeDialog.h"
#include "ui_CReadmeDialog.h"

#include <QFile>
#include <QPushButton>
#include <QTextCodec>
#include <QTextStream>

#include "ApplicationStyle.h"
#include "UpgradeConstants.h"

CReadmeDialog::CReadmeDialog(const QString &name, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CReadmeDialog)
{
    initUiResources();
    ui->setupUi(this);
    setWindowTitle(tr("%1 详情").arg(name));
    ui->readmeTextEdit->setReadOnly(true);
    ui->factsLabel->hide();
    connect(ui->pClose, &QPushButton::clicked, this, &QDialog::reject);
    loadReadme();
}

void CReadmeDialog::showFacts(const QStringList &lines)
{
    ui->factsLabel->setText(lines.join(QLatin1Char('\n')));
    ui->factsLabel->setVisible(!lines.isEmpty());
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
    // Decoded in one piece: a decoding stream would silently drop a multi-byte
    // sequence cut off at the end of the file instead of showing U+FFFD.
    QString text = QTextCodec::codecForName("UTF-8")->toUnicode(file.readAll());
    file.close();
    QTextStream stream(&text, QIODevice::ReadOnly);
    // One paragraph per line; the end of the stream adds none. The readme
    // comes from the package: it is shown as plain text, so that nothing in
    // it is taken as markup or makes the dialog load a file or a network path.
    QStringList lines;
    while (!stream.atEnd())
        lines.append(stream.readLine());
    ui->readmeTextEdit->setPlainText(lines.join(QLatin1Char('\n')));
}
