#include "VersionRecordFile.h"

#include <QBuffer>
#include <QDomDocument>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#include "RecordLayout.h"

namespace VersionRecordFile {

namespace {

Result fail(Result result, const QString &reason, QString *errorString)
{
    if (errorString)
        *errorString = reason;
    return result;
}

} // namespace

Result rewrite(const QString &path, const QString &from, const QString &to, QString *errorString)
{
    if (errorString)
        errorString->clear();

    QDomDocument document;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(Result::CannotRead, file.errorString(), errorString);
        const QByteArray xml = file.readAll();
        QString parseError;
        // A record nested thousands of levels deep would crash the DOM parser.
        if (!RecordLayout::withinNestingLimit(xml, &parseError))
            return fail(Result::ParseError, parseError, errorString);
        int line = 0;
        int column = 0;
        if (!document.setContent(xml, &parseError, &line, &column))
            return fail(Result::ParseError,
                QStringLiteral("%1 (line %2, column %3)").arg(parseError).arg(line).arg(column),
                errorString);
    }

    // Only the root's first child counts, and it must be the element "module";
    // otherwise the record is written back unchanged.
    const QDomNode first = document.documentElement().firstChild();
    if (first.isElement() && first.toElement().tagName() == QLatin1String("module")) {
        for (QDomNode node = first.firstChild(); !node.isNull(); node = node.nextSibling()) {
            if (!node.isElement())
                continue;
            QDomElement entry = node.toElement();
            if (entry.attribute(QStringLiteral("value")) == from)
                entry.setAttribute(QStringLiteral("value"), to);
        }
    }

    // Serialise in memory first; save() takes the codec from the document's
    // XML declaration and falls back to UTF-8.
    QByteArray content;
    {
        QBuffer buffer(&content);
        buffer.open(QIODevice::WriteOnly);
        QTextStream stream(&buffer);
        document.save(stream, 4);
        stream.flush();
        if (stream.status() != QTextStream::Ok)
            return fail(Result::CannotWrite, QStringLiteral("the record could not be encoded"),
                errorString);
    }

    // Replacing the file would also succeed on a record that is marked
    // read-only or locked by another program; honour that as the record's
    // own answer. ExistingOnly: never create a file here.
    {
        QFile probe(path);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
            return fail(Result::CannotWrite, probe.errorString(), errorString);
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(Result::CannotWrite, file.errorString(), errorString);
    // commit() may still replace the record after a failed buffered write, so
    // every write and the flush are checked, and the save is cancelled when
    // one of them fails: the temporary file is then removed and the record
    // stays as it was.
    if (file.write(content) != content.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        file.commit();
        return fail(Result::CannotWrite, reason, errorString);
    }
    if (!file.commit())
        return fail(Result::CannotWrite, file.errorString(), errorString);
    return Result::Written;
}

} // namespace VersionRecordFile
