#include "RecordLayout.h"

#include <QDomDocument>
#include <QFile>
#include <QTextCodec>
#include <QXmlStreamReader>

namespace RecordLayout {

namespace {

// Decodes what the lexical scan looks at: UTF-16 and UTF-32 documents (with a
// byte-order mark, or starting "<" followed by nulls), else one character per
// byte, which keeps every ASCII markup character of any ASCII-compatible
// encoding where it is.
QString markupText(const QByteArray &xml)
{
    QTextCodec *codec = QTextCodec::codecForUtfText(xml, nullptr); // by byte-order mark
    if (!codec && xml.size() >= 4 && (xml.at(0) == 0 || xml.at(1) == 0)) {
        if (xml.at(0) == 0 && xml.at(1) == 0)
            codec = QTextCodec::codecForName("UTF-32BE");
        else if (xml.at(2) == 0 && xml.at(3) == 0)
            codec = QTextCodec::codecForName("UTF-32LE");
        else if (xml.at(0) == 0)
            codec = QTextCodec::codecForName("UTF-16BE");
        else
            codec = QTextCodec::codecForName("UTF-16LE");
    }
    return codec ? codec->toUnicode(xml) : QString::fromLatin1(xml);
}

// Index just past the first occurrence of end at or after from; the text's
// size when there is none.
int skipPast(const QString &text, int from, const QLatin1String &end)
{
    const int at = text.indexOf(end, from);
    return at < 0 ? text.size() : at + end.size();
}

// Index just past the '>' that closes a tag or declaration starting at from,
// quoted values and (for a document type) its bracketed subset skipped.
// Sets *markupEntity when the subset declares an entity whose text holds
// markup: its elements would only show when the parser expands it.
int skipTag(const QString &text, int from, bool *markupEntity = nullptr)
{
    int brackets = 0;
    for (int i = from; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            const int close = text.indexOf(c, i + 1);
            if (markupEntity && close > i && text.midRef(i, close - i).contains(QLatin1Char('<')))
                *markupEntity = true;
            i = close < 0 ? text.size() : close;
        } else if (brackets > 0 && text.midRef(i, 4) == QLatin1String("<!--")) {
            i = skipPast(text, i + 4, QLatin1String("-->")) - 1;
        } else if (c == QLatin1Char('[')) {
            ++brackets;
        } else if (c == QLatin1Char(']') && brackets > 0) {
            --brackets;
        } else if (c == QLatin1Char('>') && brackets == 0) {
            return i + 1;
        }
    }
    return text.size();
}

// The deepest element nesting that a plain reading of the markup shows. It
// judges nothing else: encodings, versions and entities are the parser's.
int lexicalDepth(const QString &text, bool *markupEntity)
{
    int depth = 0;
    int deepest = 0;
    int i = text.indexOf(QLatin1Char('<'));
    while (i >= 0 && i < text.size()) {
        const QStringRef rest = text.midRef(i);
        if (rest.startsWith(QLatin1String("<!--"))) {
            i = skipPast(text, i + 4, QLatin1String("-->"));
        } else if (rest.startsWith(QLatin1String("<![CDATA["))) {
            i = skipPast(text, i + 9, QLatin1String("]]>"));
        } else if (rest.startsWith(QLatin1String("<?"))) {
            i = skipPast(text, i + 2, QLatin1String("?>"));
        } else if (rest.startsWith(QLatin1String("<!"))) {
            i = skipTag(text, i + 2, markupEntity);
        } else if (rest.startsWith(QLatin1String("</"))) {
            depth = qMax(0, depth - 1);
            i = skipTag(text, i + 2);
        } else {
            const int end = skipTag(text, i + 1);
            const bool empty = end >= 2 && text.at(end - 2) == QLatin1Char('/')
                && text.at(end - 1) == QLatin1Char('>');
            if (!empty)
                deepest = qMax(deepest, ++depth);
            i = end;
        }
        i = text.indexOf(QLatin1Char('<'), i);
    }
    return deepest;
}

QString tooDeep(int line)
{
    return line > 0 ? QStringLiteral("elements nested deeper than %1 levels (line %2)")
                          .arg(maxNestingDepth)
                          .arg(line)
                    : QStringLiteral("elements nested deeper than %1 levels").arg(maxNestingDepth);
}

} // namespace

bool withinNestingLimit(const QByteArray &xml, QString *reason)
{
    // The streaming reader follows the document as the parser will, entities
    // expanded, at any depth without recursion.
    QXmlStreamReader reader(xml);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > maxNestingDepth) {
            if (reason)
                *reason = tooDeep(int(reader.lineNumber()));
            return false;
        }
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    if (!reader.hasError())
        return true;
    // It stops at what it doesn't support but the parser does read (an
    // encoding it doesn't know, XML 1.1, an undeclared entity): the markup
    // is then measured as written. Only the depth is judged here.
    bool markupEntity = false;
    if (lexicalDepth(markupText(xml), &markupEntity) > maxNestingDepth || markupEntity) {
        if (reason)
            *reason = markupEntity
                ? QStringLiteral("entities holding markup in a document the reader can't follow")
                : tooDeep(0);
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
        entries->insert(
            entry.attribute(QStringLiteral("key")), entry.attribute(QStringLiteral("value")));
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
