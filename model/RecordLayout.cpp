#include "RecordLayout.h"

#include <QDomDocument>
#include <QFile>

namespace RecordLayout {

ReadResult readDevice(QIODevice *device, Entries *entries)
{
    entries->clear();
    QDomDocument document;
    if (!document.setContent(device))
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
