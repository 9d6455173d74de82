#pragma once

#include <QByteArray>
#include <QStringList>

// The last lines a child process wrote to one of its channels, for the log
// when it fails. Memory stays bounded whatever the process writes: only the
// last maxLines lines are kept, each cut to maxLineLength characters.
class OutputTail
{
public:
    explicit OutputTail(int maxLines = 10, int maxLineLength = 500);

    // Takes the next bytes of the channel (UTF-8; line ends "\n" or "\r\n").
    void append(const QByteArray &bytes);
    // The kept lines, oldest first; a last line without its end comes last.
    // Blank lines are left out.
    QStringList lines() const;
    void clear();

private:
    void finishLine();

    int maxLines;
    int maxLineLength;
    QStringList kept;
    QByteArray partial; // the line being written, cut to a bounded length
};
