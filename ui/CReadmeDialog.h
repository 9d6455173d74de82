#pragma once

#include <QDialog>

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

private:
    void loadReadme();

    Ui::CReadmeDialog *ui;
};
