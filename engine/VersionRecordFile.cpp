#include "VersionRecordFile.h"

#include <QFile>
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
    QTextCodec *codec = QTextCodec::codecForName("UTF-8");

    int depth = 0; // 1: inside root, 2: inside root's first child, ...
    bool firstChildOfRoot = false; // the next node inside root is its first child
    bool inModule = false; // that first child is the element "module"
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartDocument:
            if (!reader.documentEncoding().isEmpty()) {
                if (QTextCodec *declared
                    = QTextCodec::codecForName(reader.documentEncoding().toLatin1()))
                    codec = declared;
            }
            writer.setCodec(codec);
            if (!reader.documentVersion().isEmpty()) {
                if (reader.isStandaloneDocument())
                    writer.writeStartDocument(reader.documentVersion().toString(), true);
                else
                    writer.writeStartDocument(reader.documentVersion().toString());
            }
            break;
        case QXmlStreamReader::DTD:
            writer.writeDTD(reader.text().toString());
            break;
        case QXmlStreamReader::StartElement: {
            if (firstChildOfRoot)
                inModule = reader.name() == QLatin1String("module");
            firstChildOfRoot = depth == 0;
            ++depth;
            writer.writeStartElement(reader.qualifiedName().toString());
            for (const QXmlStreamNamespaceDeclaration &ns : reader.namespaceDeclarations())
                writer.writeNamespace(ns.namespaceUri().toString(), ns.prefix().toString());
            const bool entry = inModule && depth == 3;
            for (const QXmlStreamAttribute &attribute : reader.attributes()) {
                QString value = attribute.value().toString();
                if (entry && attribute.qualifiedName() == QLatin1String("value") && value == from)
                    value = to;
                writer.writeAttribute(attribute.qualifiedName().toString(), value);
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            if (depth == 1)
                inModule = false;
            writer.writeEndElement();
            break;
        case QXmlStreamReader::Characters:
            if (reader.isWhitespace())
                break; // blanks between tags are no node, as for the reader of the record
            firstChildOfRoot = false;
            if (reader.isCDATA())
                writer.writeCDATA(reader.text().toString());
            else
                writer.writeCharacters(reader.text().toString());
            break;
        case QXmlStreamReader::Comment:
            firstChildOfRoot = false;
            writer.writeComment(reader.text().toString());
            break;
        case QXmlStreamReader::ProcessingInstruction:
            firstChildOfRoot = false;
            writer.writeProcessingInstruction(reader.processingInstructionTarget().toString(),
                reader.processingInstructionData().toString());
            break;
        case QXmlStreamReader::EntityReference:
            firstChildOfRoot = false;
            writer.writeEntityReference(reader.name().toString());
            break;
        default:
            break;
        }
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
    if (!transform(xml, from, to, &content, &parseError))
        return fail(Result::ParseError, parseError, errorString);

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
