#include "VersionRecordFile.h"

#include <algorithm>

#include <QDomDocument>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextCodec>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include "RecordLayout.h"

namespace VersionRecordFile {

namespace {

Result fail(Result result, const QString &reason, QString *errorString)
{
    if (errorString)
        *errorString = reason;
    return result;
}

// Where the copy stands in the record's layout.
struct Position
{
    int depth = 0; // 1: inside root, 2: inside root's first child, ...
    bool firstChildOfRoot = false; // the next node inside root is its first child
    bool inModule = false; // that first child is the element "module"
};

void copyDeclaration(QXmlStreamReader &reader, QXmlStreamWriter &writer)
{
    QTextCodec *codec = QTextCodec::codecForName("UTF-8");
    if (!reader.documentEncoding().isEmpty()) {
        if (QTextCodec *declared = QTextCodec::codecForName(reader.documentEncoding().toLatin1()))
            codec = declared;
    }
    writer.setCodec(codec);
    if (reader.documentVersion().isEmpty())
        return;
    if (reader.isStandaloneDocument())
        writer.writeStartDocument(reader.documentVersion().toString(), true);
    else
        writer.writeStartDocument(reader.documentVersion().toString());
}

void copyStartElement(QXmlStreamReader &reader, QXmlStreamWriter &writer, Position &at,
    const QString &from, const QString &to)
{
    if (at.firstChildOfRoot)
        at.inModule = reader.name() == QLatin1String("module");
    at.firstChildOfRoot = at.depth == 0;
    ++at.depth;
    writer.writeStartElement(reader.qualifiedName().toString());
    for (const QXmlStreamNamespaceDeclaration &ns : reader.namespaceDeclarations())
        writer.writeNamespace(ns.namespaceUri().toString(), ns.prefix().toString());
    const bool entry = at.inModule && at.depth == 3;
    for (const QXmlStreamAttribute &attribute : reader.attributes()) {
        QString value = attribute.value().toString();
        if (entry && attribute.qualifiedName() == QLatin1String("value") && value == from)
            value = to;
        writer.writeAttribute(attribute.qualifiedName().toString(), value);
    }
}

// Copies one token that is neither the declaration nor a start element.
void copyToken(QXmlStreamReader &reader, QXmlStreamWriter &writer, Position &at)
{
    switch (reader.tokenType()) {
    case QXmlStreamReader::DTD:
        writer.writeDTD(reader.text().toString());
        return;
    case QXmlStreamReader::EndElement:
        if (--at.depth == 1)
            at.inModule = false;
        writer.writeEndElement();
        return;
    case QXmlStreamReader::Characters:
        if (reader.isWhitespace())
            return; // blanks between tags are no node, as for the reader of the record
        if (reader.isCDATA())
            writer.writeCDATA(reader.text().toString());
        else
            writer.writeCharacters(reader.text().toString());
        break;
    case QXmlStreamReader::Comment:
        writer.writeComment(reader.text().toString());
        break;
    case QXmlStreamReader::ProcessingInstruction:
        writer.writeProcessingInstruction(reader.processingInstructionTarget().toString(),
            reader.processingInstructionData().toString());
        break;
    case QXmlStreamReader::EntityReference:
        writer.writeEntityReference(reader.name().toString());
        break;
    default:
        return;
    }
    at.firstChildOfRoot = false;
}

// Copies the record token by token, re-indented with 4 blanks, setting the
// version entries on the way. A stream keeps each element's attributes in
// the order the file has them ("key" before "value"), where a DOM would
// write them in an order that changes from run to run.
bool transform(const QByteArray &xml, const QString &from, const QString &to, QByteArray *content,
    QString *reason)
{
    QXmlStreamReader reader(xml);
    QXmlStreamWriter writer(content);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.setCodec(QTextCodec::codecForName("UTF-8"));
    Position at;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartDocument)
            copyDeclaration(reader, writer);
        else if (token == QXmlStreamReader::StartElement)
            copyStartElement(reader, writer, at, from, to);
        else
            copyToken(reader, writer, at);
    }
    if (reader.hasError()) {
        *reason = QStringLiteral("%1 (line %2, column %3)")
                      .arg(reader.errorString())
                      .arg(reader.lineNumber())
                      .arg(reader.columnNumber());
        return false;
    }
    writer.writeEndDocument();
    if (writer.hasError()) {
        *reason = QStringLiteral("the record could not be encoded");
        return false;
    }
    return true;
}

// A pseudo-attribute of a declaration's data ("version='1.0' encoding='X'").
QString declared(const QString &declaration, const char *name)
{
    const QRegularExpressionMatch match = QRegularExpression(
        QStringLiteral("%1\\s*=\\s*[\"']([^\"']*)[\"']").arg(QLatin1String(name)))
                                              .match(declaration);
    return match.hasMatch() ? match.captured(1) : QString();
}

// Writes node and what is below it, setting the version entries on the way.
// Attributes go "key" and "value" first, the rest by name: the DOM keeps no
// order of its own, and the file must come out the same on every run.
void writeDomNode(QXmlStreamWriter &writer, const QDomNode &node, bool entry, const QString &from,
    const QString &to)
{
    switch (node.nodeType()) {
    case QDomNode::ElementNode: {
        const QDomElement element = node.toElement();
        writer.writeStartElement(element.tagName());
        const QDomNamedNodeMap attributes = element.attributes();
        QStringList names;
        for (int i = 0; i < attributes.count(); ++i)
            names << attributes.item(i).nodeName();
        std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
            const auto rank = [](const QString &name) {
                return name == QLatin1String("key") ? 0 : name == QLatin1String("value") ? 1 : 2;
            };
            return rank(a) != rank(b) ? rank(a) < rank(b) : a < b;
        });
        for (const QString &name : qAsConst(names)) {
            QString value = element.attribute(name);
            if (entry && name == QLatin1String("value") && value == from)
                value = to;
            writer.writeAttribute(name, value);
        }
        const bool module = node.parentNode().isElement()
            && node.parentNode().parentNode().isDocument() && node.parentNode().firstChild() == node
            && element.tagName() == QLatin1String("module");
        for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling())
            writeDomNode(writer, child, module && child.isElement(), from, to);
        writer.writeEndElement();
        break;
    }
    case QDomNode::TextNode:
        writer.writeCharacters(node.nodeValue());
        break;
    case QDomNode::CDATASectionNode:
        writer.writeCDATA(node.nodeValue());
        break;
    case QDomNode::CommentNode:
        writer.writeComment(node.nodeValue());
        break;
    case QDomNode::ProcessingInstructionNode:
        writer.writeProcessingInstruction(node.nodeName(), node.nodeValue());
        break;
    case QDomNode::EntityReferenceNode:
        writer.writeEntityReference(node.nodeName());
        break;
    default:
        break;
    }
}

// The same rewrite through the DOM parser, for a record it reads where the
// streaming reader gives up (an encoding name it doesn't know, XML 1.1, an
// undeclared entity): the installer read that record at start-up, so its
// version must be updated too.
bool transformDom(const QByteArray &xml, const QString &from, const QString &to,
    QByteArray *content, QString *reason)
{
    QDomDocument document;
    QString error;
    int line = 0;
    int column = 0;
    if (!document.setContent(xml, &error, &line, &column)) {
        *reason = QStringLiteral("%1 (line %2, column %3)").arg(error).arg(line).arg(column);
        return false;
    }
    QXmlStreamWriter writer(content);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    // An encoding the parser doesn't know was read as UTF-8, and is written
    // back as UTF-8, declared as such.
    QTextCodec *codec = QTextCodec::codecForName("UTF-8");
    QDomNode node = document.firstChild();
    if (node.isProcessingInstruction() && node.nodeName() == QLatin1String("xml")) {
        const QString declaration = node.nodeValue();
        if (QTextCodec *known
            = QTextCodec::codecForName(declared(declaration, "encoding").toLatin1()))
            codec = known;
        writer.setCodec(codec);
        const QString version = declared(declaration, "version");
        if (declared(declaration, "standalone") == QLatin1String("yes"))
            writer.writeStartDocument(version, true);
        else
            writer.writeStartDocument(version);
        node = node.nextSibling();
    } else {
        writer.setCodec(codec);
    }
    for (; !node.isNull(); node = node.nextSibling()) {
        if (node.isDocumentType()) {
            const QDomDocumentType type = node.toDocumentType();
            QString dtd = QStringLiteral("<!DOCTYPE ") + type.name();
            if (!type.publicId().isEmpty())
                dtd += QStringLiteral(" PUBLIC \"%1\" \"%2\"")
                           .arg(type.publicId(), type.systemId());
            else if (!type.systemId().isEmpty())
                dtd += QStringLiteral(" SYSTEM \"%1\"").arg(type.systemId());
            if (!type.internalSubset().isEmpty())
                dtd += QStringLiteral(" [%1]").arg(type.internalSubset());
            writer.writeDTD(dtd + QLatin1Char('>'));
        } else {
            writeDomNode(writer, node, false, from, to);
        }
    }
    writer.writeEndDocument();
    if (writer.hasError()) {
        *reason = QStringLiteral("the record could not be encoded");
        return false;
    }
    return true;
}

// Writes content over the file at path, every write checked; when one fails
// the original bytes are put back as far as they can be.
Result rewriteInPlace(const QString &path, const QByteArray &content, const QByteArray &original,
    QString *errorString)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return fail(Result::CannotWrite, file.errorString(), errorString);
    if (file.write(content) == content.size() && file.resize(content.size()) && file.flush())
        return Result::Written;
    const QString reason = file.errorString();
    if (file.seek(0) && file.write(original) == original.size() && file.resize(original.size()))
        file.flush();
    return fail(Result::CannotWrite, reason, errorString);
}

} // namespace

Result rewrite(const QString &path, const QString &from, const QString &to, QString *errorString)
{
    if (errorString)
        errorString->clear();

    QByteArray xml;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(Result::CannotRead, file.errorString(), errorString);
        xml = file.readAll();
    }
    QString parseError;
    // A record nested thousands of levels deep is refused like a broken one.
    if (!RecordLayout::withinNestingLimit(xml, &parseError))
        return fail(Result::ParseError, parseError, errorString);
    // Every entry of the root's first child "module" whose value is the old
    // version gets the new one; otherwise the record is written back unchanged.
    QByteArray content;
    if (!transform(xml, from, to, &content, &parseError)) {
        content.clear();
        QString domError;
        if (!transformDom(xml, from, to, &content, &domError))
            return fail(Result::ParseError, domError, errorString);
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
    if (!file.open(QIODevice::WriteOnly)) {
        // The folder refuses the temporary file (read-only, immutable) while
        // the record itself may be written: rewrite it where it is.
        return rewriteInPlace(path, content, xml, errorString);
    }
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
