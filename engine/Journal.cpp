#include "Journal.h"

#include <QFileInfo>
#include <QTextStream>
#include <QUrl>

#include "FileMoves.h"
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
    case Journal::Mark::Committed:
        break;
    }
    return "committed";
}

QString field(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

QString unfield(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toLatin1());
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
    const QString head
        = QStringLiteral("header\t%1\t%2\t%3\t%4\t%5")
              .arg(field(header.version), field(header.versionTo), field(header.exePath))
              .arg(header.isDb)
              .arg(header.ifUpgradeDb);
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
    if (file.write(bytes) != bytes.size() || !file.flush() || !FileMoves::syncEntry(path)) {
        *error = file.errorString();
        return false;
    }
    return true;
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
    QFile in(SuiteLayout::journalFile(mainPath));
    if (!in.open(QIODevice::ReadOnly)) {
        *error = in.errorString();
        return false;
    }
    QTextStream stream(&in);
    stream.setCodec("UTF-8");
    if (stream.readLine() != magic) {
        *error = QStringLiteral("not an upgrade journal");
        return false;
    }
    *contents = Contents();
    bool headed = false;
    // A last line cut off by a crash is no line at all.
    const QStringList lines = stream.readAll().split(QLatin1Char('\n'));
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QStringList parts = lines.at(i).split(QLatin1Char('\t'));
        if (parts.value(0) == QLatin1String("header") && parts.size() == 6) {
            contents->header = { unfield(parts.at(1)), unfield(parts.at(2)), unfield(parts.at(3)),
                parts.at(4).toInt(), parts.at(5).toInt() };
            headed = true;
        } else if (parts.value(0) == QLatin1String("change")) {
            FileChange change;
            if (FileChange::fromLine(lines.at(i).mid(7), &change))
                contents->changes.append(change);
        } else if (parts.value(0) == QLatin1String("mark")) {
            for (Mark mark :
                { Mark::ChainStarted, Mark::FilesDone, Mark::DatabaseBegun, Mark::Committed }) {
                if (parts.value(1) == QLatin1String(markName(mark)))
                    contents->marks.insert(mark);
            }
        }
    }
    if (!headed)
        *error = QStringLiteral("the journal has no header");
    return headed;
}
