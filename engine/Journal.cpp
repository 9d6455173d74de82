#include "Journal.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <cerrno>

#include "FileMoves.h"
#include "JournalCodec.h"
#include "RegularFile.h"
#include "SuiteLayout.h"

namespace {

const QString magic = QStringLiteral("tessaron-upgrade-journal 1");

const char *markName(Journal::Mark mark)
{
    switch (mark) {
    case Journal::Mark::ChainStarted:
        return "chain-started";
    case Journal::Mark::FilesDone:
        return "files-done";
    case Journal::Mark::DatabaseBegun:
        return "database-begun";
    case Journal::Mark::RollbackScriptsRun:
        return "rollback-scripts-run";
    case Journal::Mark::RollbackScriptsFailed:
        return "rollback-scripts-failed";
    case Journal::Mark::Committed:
        break;
    }
    return "committed";
}

// A line that isn't one the writer makes: named, with its start, so that a
// person can find it.
QString unreadable(int number, const QString &line)
{
    const int shown = 80;
    return QCoreApplication::translate("Journal", "第%1行无法识别:%2")
        .arg(QString::number(number),
            line.size() > shown ? line.left(shown) + QStringLiteral("…") : line);
}

bool readHeader(const QStringList &parts, Journal::Header *header)
{
    bool isDbRead = false, ifUpgradeDbRead = false;
    if (parts.size() != 6 || !JournalCodec::decode(parts.at(1), &header->version)
        || !JournalCodec::decode(parts.at(2), &header->versionTo)
        || !JournalCodec::decode(parts.at(3), &header->exePath))
        return false;
    header->databaseInstalled = parts.at(4).toInt(&isDbRead) != 0;
    header->upgradeDatabase = parts.at(5).toInt(&ifUpgradeDbRead) != 0;
    return isDbRead && ifUpgradeDbRead;
}

bool readMark(const QStringList &parts, QSet<Journal::Mark> *marks)
{
    for (Journal::Mark mark : { Journal::Mark::ChainStarted, Journal::Mark::FilesDone,
             Journal::Mark::DatabaseBegun, Journal::Mark::Committed,
             Journal::Mark::RollbackScriptsRun, Journal::Mark::RollbackScriptsFailed }) {
        if (parts.size() == 2 && parts.at(1) == QLatin1String(markName(mark))) {
            marks->insert(mark);
            return true;
        }
    }
    return false;
}

} // namespace

bool Journal::begin(const QString &mainPath, const Header &header, QString *error)
{
    path = SuiteLayout::journalFile(mainPath);
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::NewOnly)) {
        *error = file.errorString();
        return false;
    }
    // Joined, not formatted: an encoded field holds "%" sequences of its own.
    const QString head
        = QStringList { QStringLiteral("header"), JournalCodec::encode(header.version),
              JournalCodec::encode(header.versionTo), JournalCodec::encode(header.exePath),
              QString::number(int(header.databaseInstalled)),
              QString::number(int(header.upgradeDatabase)) }
              .join(QLatin1Char('\t'));
    // The folder's entry for the journal must be on disk as well.
    return writeDurably({ magic, head }, error) && FileMoves::syncEntry(mainPath);
}

bool Journal::record(const QList<FileChange> &changes, QString *error)
{
    QStringList lines;
    lines.reserve(changes.size());
    for (const FileChange &change : changes)
        lines << QStringLiteral("change\t") + change.toLine();
    return writeDurably(lines, error);
}

bool Journal::mark(Mark mark, QString *error)
{
    return writeDurably({ QStringLiteral("mark\t") + QLatin1String(markName(mark)) }, error);
}

bool Journal::writeDurably(const QStringList &lines, QString *error)
{
    if (lines.isEmpty())
        return true;
    const QByteArray bytes = (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    // A write that stops part-way (a full disk) leaves QFile without a reason
    // of its own ("Unknown error"); the system's is the one to name.
    errno = 0;
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    if (written && FileMoves::syncEntry(path))
        return true;
    const int code = errno;
    *error = code != 0 ? qt_error_string(code) : file.errorString();
    return false;
}

bool Journal::finish()
{
    file.close();
    return path.isEmpty() || !QFileInfo::exists(path) || QFile::remove(path);
}

bool Journal::exists(const QString &mainPath)
{
    return QFileInfo::exists(SuiteLayout::journalFile(mainPath));
}

bool Journal::read(const QString &mainPath, Contents *contents, QString *error)
{
    // Only a regular file is read: a pipe in its place would be waited on.
    QFile in;
    if (RegularFile::openForReading(SuiteLayout::journalFile(mainPath), &in, error)
        != RegularFile::Refusal::None)
        return false;
    *contents = Contents();
    const QByteArray start = in.peek(magic.size() + 1);
    if (start.size() <= magic.size() && (magic + QLatin1Char('\n')).toUtf8().startsWith(start)) {
        contents->unstarted = true; // empty, or its first line cut off
        return true;
    }
    QTextStream stream(&in);
    stream.setCodec("UTF-8");
    if (stream.readLine() != magic) {
        *error = QCoreApplication::translate("Journal", "不是升级日志文件");
        return false;
    }
    bool headed = false;
    // Each line the writer makes is read, or the journal is not: a change
    // passed over would be left undone without a word. A last line cut off by
    // a crash is no line at all.
    const QStringList lines = stream.readAll().split(QLatin1Char('\n'));
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const QStringList parts = line.split(QLatin1Char('\t'));
        const QString &kind = parts.at(0);
        FileChange change;
        bool read = false;
        if (kind == QLatin1String("header") && !headed) {
            read = headed = readHeader(parts, &contents->header);
        } else if (kind == QLatin1String("change")) {
            read = FileChange::fromLine(line.mid(7), &change);
            if (read)
                contents->changes.append(change);
        } else if (kind == QLatin1String("mark")) {
            read = readMark(parts, &contents->marks);
        }
        if (!read) {
            *error = unreadable(i + 2, line); // the first line is the magic
            return false;
        }
    }
    // Nothing but the first line, or a header cut off: nothing was changed.
    if (!headed && lines.size() == 1) {
        contents->unstarted = true;
        return true;
    }
    if (!headed)
        *error = QCoreApplication::translate("Journal", "缺少升级信息(版本、程序文件夹)");
    return headed;
}
