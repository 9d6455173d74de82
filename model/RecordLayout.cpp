#include "RecordLayout.h"

#include <QDomDocument>
#include <QFile>
#include <QXmlStreamReader>

namespace RecordLayout {

bool withinNestingLimit(const QByteArray &xml, QString *reason)
{
    QXmlStreamReader reader(xml);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > maxNestingDepth) {
            if (reason)
                *reason = QStringLiteral("elements nested deeper than %1 levels (line %2)")
                              .arg(maxNestingDepth)
                              .arg(reader.lineNumber());
            return false;
        }
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    // A document the streaming reader can't follow to its end can't be shown
    // to be shallow; the DOM parser would reject it as well.
    if (reader.hasError()) {
        if (reason)
            *reason = QStringLiteral("%1 (line %2, column %3)")
                          .arg(reader.errorString())
                          .arg(reader.lineNumber())
                          .arg(reader.columnNumber());
        return false;
    }
    return true;
}

ReadResult readDevice(QIODevice *device, Entries *entries)
{
    entries->clear();
    const QByteArray xml = device->readAll();
    if (!withinNestingLimit(xml))
        return ReadResult::ParseError;
    QDomDocument document;
    if (!document.setContent(xml))
        return ReadResult::ParseError;

    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("root"))
        return ReadResult::WrongRoot;

    // Only the very first child node counts; a comment or another element in
    // its place means an empty record, which is still a successful read.
    const QDomNode first = root.firstChild();
    if (!first.isElement() || first.toElement().tagName() != QLatin1String("module"))
        return ReadResult::Ok;

    for (QDomNode node = first.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement entry = node.toElement();
        if (!entry.hasAttribute(QStringLiteral("key")))
            continue;
        entries->insert(entry.attribute(QStringLiteral("key")),
                        entry.attribute(QStringLiteral("value")));
    }
    return ReadResult::Ok;
}

ReadResult readFile(const QString &path, Entries *entries)
{
    entries->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ReadResult::CannotOpen;
    return readDevice(&file, entries);
}

int toInteger(const QString &value)
{
    bool ok = false;
    const int number = value.toInt(&ok, 10);
    return ok ? number : 0;
}

} // namespace RecordLayout
