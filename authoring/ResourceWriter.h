#pragma once

#include <QHash>
#include <QFile>
#include <QString>
#include <QVector>

// Writes a Qt binary resource file, the format "rcc --binary" writes and
// QResource::registerResource reads, from files on disk, without rcc.
//
//   ResourceWriter writer;
//   writer.addFile("upgrade/bin/app.dll", "/src/upgrade/bin/app.dll");
//   if (!writer.write("/out/package.rcc"))
//       qWarning() << writer.errorString();
//
// File contents are copied in chunks straight into the output, so a package
// of any size passes through a small, fixed amount of memory; only a file that
// is to be compressed is held whole. The output appears only when it is
// complete (QSaveFile).
class ResourceWriter
{
public:
    enum class Failure {
        None,
        BadPath, // empty, ".", ".." or over-long part, or a file where a folder is needed
        DuplicatePath, // the same path added twice
        CannotReadSource, // a source file cannot be opened or read
        SourceChanged, // a source file changed its size while it was copied
        TooLarge, // beyond the format's 32-bit offsets and sizes
        CannotWrite // the output cannot be written
    };

    struct Options
    {
        int formatVersion = 3; // 1, 2 (adds modification times) or 3 (adds header flags)
        bool zlib = false; // store files zlib-compressed where that pays (qCompress layout)
        int zlibLevel = -1; // 1 to 9, or -1 for zlib's default
        int zlibThreshold = 70; // percent a file must shrink by to be stored compressed
    };

    ResourceWriter();
    explicit ResourceWriter(const Options &options);

    // Adds the file at sourcePath under resourcePath ("a/b/c.txt": parts
    // separated by "/"). Folders on the way are made as needed.
    bool addFile(const QString &resourcePath, const QString &sourcePath);

    // Writes all added files to outputFile; refuses to once addFile has
    // failed.
    bool write(const QString &outputFile);

    Failure failure() const { return m_failure; }
    QString errorString() const { return m_error; }

private:
    struct Node
    {
        QString name;
        QString source; // empty for a folder
        bool folder = false;
        QHash<QString, int> children; // name -> node index
        // Filled in while writing:
        quint32 nameOffset = 0;
        quint32 dataOffset = 0;
        quint32 firstChild = 0;
        quint16 flags = 0;
        quint64 modified = 0;
    };

    class Output; // the output file with its position (ResourceWriter.cpp)

    bool fail(Failure failure, const QString &text);
    bool readFailed(const QFile &source, const QString &shown);
    bool sourceChanged(const QString &shown, qint64 size);
    QVector<int> treeOrder() const;
    bool putFile(Output &out, Node &node, qint64 dataStart, quint32 *overallFlags);
    bool putCompressed(Output &out, Node &node, QFile &source, qint64 size, quint32 *overallFlags);
    bool putStored(Output &out, QFile &source, qint64 size, const QString &shown);
    void putNames(Output &out, const QVector<int> &order);
    void putTree(Output &out, const QVector<int> &order) const;

    Options m_options;
    QVector<Node> m_nodes;
    Failure m_failure = Failure::None;
    QString m_error;
};
