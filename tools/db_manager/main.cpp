// The suite's project management tool. Started with no arguments (as the
// installer does from its backup question) it backs up the project data and
// shows where the copy went. --no-gui prints the message instead of showing it.

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QMessageBox>
#include <QScopedPointer>

#include <cstdio>

#include "ProjectBackup.h"
#include "SuiteLayout.h"

namespace {

enum ExitCode { Done = 0, NoDataFolder = 1, Failed = 2, BadArguments = 3 };

void printLine(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream);
}

} // namespace

int main(int argc, char *argv[])
{
    bool gui = true;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--no-gui") == 0) {
            gui = false;
        } else {
            std::fprintf(
                stderr, "Unknown argument: %s\nUsage: db_manager.exe [--no-gui]\n", argv[i]);
            return BadArguments;
        }
    }

    QScopedPointer<QCoreApplication> app(
        gui ? new QApplication(argc, argv) : new QCoreApplication(argc, argv));
    const char *context = "db_manager";
    const QString title = QCoreApplication::translate(context, "工程管理工具");

    // The tool sits in mainPath/platform/<exe>/.
    const QString mainPath
        = SuiteLayout::mainPathFromProgramDir(QCoreApplication::applicationDirPath());
    const ProjectBackup::Outcome outcome
        = ProjectBackup::run(mainPath, QDateTime::currentDateTime());

    QString text;
    int code = Done;
    switch (outcome.result) {
    case ProjectBackup::Result::Done:
        text = QCoreApplication::translate(context, "工程数据已备份到:%1")
                   .arg(QDir::toNativeSeparators(outcome.backupPath));
        break;
    case ProjectBackup::Result::NoDataFolder:
        text = QCoreApplication::translate(context, "未找到工程数据目录:%1,未进行备份")
                   .arg(QDir::toNativeSeparators(outcome.dataPath));
        code = NoDataFolder;
        break;
    case ProjectBackup::Result::Failed:
        text = QCoreApplication::translate(context, "工程数据备份失败,工程数据未改动:%1")
                   .arg(outcome.reason);
        code = Failed;
        break;
    }

    printLine(code == Done ? stdout : stderr, text);
    if (gui) {
        if (code == Done)
            QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
        else
            QMessageBox::warning(nullptr, title, text, QMessageBox::Ok);
    }
    return code;
}
