#include "ScriptFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <algorithm>

#include "HelperFailure.h"
#include "SchemaHistory.h"
#include "SqlScript.h"

namespace {

// Statements that begin or end a transaction: a script holding one would
// commit or break the run's transaction.
bool isTransactionStatement(const QString &word)
{
    static const QStringList words { QStringLiteral("BEGIN"), QStringLiteral("COMMIT"),
        QStringLiteral("END"), QStringLiteral("ROLLBACK"), QStringLiteral("SAVEPOINT"),
        QStringLiteral("RELEASE") };
    return words.contains(word);
}

void refuse(Script &script, ScriptProblem problem, const QString &text)
{
    script.problem = problem;
    script.problemText = text;
}

// Splits the text of a script to run and refuses it when it is no UTF-8 or
// holds a transaction statement.
void checkText(Script &script, const QByteArray &bytes)
{
    const QString name = script.name();
    QTextCodec::ConverterState state;
    QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0) {
        refuse(script, ScriptProblem::NotUtf8,
            QStringLiteral("脚本 %1 不是有效的 UTF-8 文本").arg(name));
        return;
    }
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    script.statements = SqlScript::splitStatements(text);
    for (int i = 0; i < script.statements.size(); ++i) {
        const QString word = SqlScript::leadingWord(script.statements.at(i));
        if (isTransactionStatement(word)) {
            refuse(script, ScriptProblem::TransactionStatement,
                QStringLiteral("脚本 %1 含有事务语句 %2(第 %3 条语句),不能执行: "
                               "每次运行的所有脚本在同一个事务中执行")
                    .arg(name, word, QString::number(i + 1)));
            return;
        }
    }
}

void checkScript(Script &script, const QHash<QString, QString> &applied)
{
    const QString name = script.name();
    QFile source(script.path);
    QByteArray bytes;
    if (source.open(QIODevice::ReadOnly))
        bytes = source.readAll();
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        refuse(script, ScriptProblem::Unreadable,
            QStringLiteral("无法读取脚本 %1: %2").arg(name, source.errorString()));
        return;
    }
    script.checksum = SchemaHistory::checksum(bytes);
    const auto last = applied.constFind(name);
    if (last == applied.constEnd())
        checkText(script, bytes);
    else if (*last == script.checksum)
        script.applied = true;
    else
        refuse(script, ScriptProblem::ChangedSinceApplied,
            QStringLiteral("脚本 %1 已执行过,但内容已改变(校验和不一致),已停止").arg(name));
}

} // namespace

ScriptFolder ScriptFolder::list(const QString &phase, const QString &path)
{
    if (!QFileInfo(path).isDir())
        stop(FailureKind::Scripts,
            QStringLiteral("找不到脚本目录 %1").arg(QDir::toNativeSeparators(path)));
    ScriptFolder folder { phase, path, {} };
    // The installer counts the same files: plain *.sql files, any letter case.
    QFileInfoList files = QDir(path).entryInfoList(
        { QStringLiteral("*.sql") }, QDir::Files | QDir::NoSymLinks, QDir::NoSort);
    std::sort(files.begin(), files.end(),
        [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    for (const QFileInfo &file : qAsConst(files)) {
        Script script;
        script.phase = phase;
        script.fileName = file.fileName();
        script.path = file.absoluteFilePath();
        folder.scripts.append(script);
    }
    return folder;
}

void ScriptFolder::check(const QHash<QString, QString> &applied)
{
    for (Script &script : scripts)
        checkScript(script, applied);
}
