#pragma once

#include <QDialog>
#include <QStringList>

namespace Ui {
class CReadmeDialog;
}

// Shows the readme that the registered package carries.
class CReadmeDialog : public QDialog
{
    Q_OBJECT
public:
    explicit CReadmeDialog(const QString &name, QWidget *parent = nullptr);
    ~CReadmeDialog() override;

    // What the package brings, one fact a line, above the readme; nothing is
    // shown there for none.
    void showFacts(const QStringList &lines);

private:
    void loadReadme();

    Ui::CReadmeDialog *ui;
};
