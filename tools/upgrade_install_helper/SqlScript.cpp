#include "SqlScript.h"

namespace SqlScript {

namespace {

enum class Token { None, Semicolon, Word, Other };

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

// Scans one statement after another. Only tokens matter for the split:
// words (to recognise CREATE TRIGGER and END), semicolons and anything else.
class Splitter
{
public:
    explicit Splitter(const QString &text)
        : m_text(text)
    { }

    QStringList run()
    {
        const int n = m_text.size();
        int i = 0;
        while (i < n) {
            const QChar c = m_text.at(i);
            const QChar next = i + 1 < n ? m_text.at(i + 1) : QChar();
            if (c.isSpace()) {
                ++i;
            } else if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
                const int end = m_text.indexOf(QLatin1Char('\n'), i + 2);
                i = end < 0 ? n : end + 1;
            } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
                const int end = m_text.indexOf(QLatin1String("*/"), i + 2);
                i = end < 0 ? n : end + 2;
            } else if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
                // A doubled quote character stands for itself.
                int j = i + 1;
                while (j < n) {
                    if (m_text.at(j) == c) {
                        if (j + 1 < n && m_text.at(j + 1) == c) {
                            j += 2;
                            continue;
                        }
                        break;
                    }
                    ++j;
                }
                i = j < n ? j + 1 : n;
                push(Token::Other);
            } else if (c == QLatin1Char('[')) {
                const int end = m_text.indexOf(QLatin1Char(']'), i + 1);
                i = end < 0 ? n : end + 1;
                push(Token::Other);
            } else if (c == QLatin1Char(';')) {
                if (inTriggerBody())
                    push(Token::Semicolon);
                else
                    finish(i);
                ++i;
            } else if (isWordChar(c)) {
                int j = i + 1;
                while (j < n && isWordChar(m_text.at(j)))
                    ++j;
                push(Token::Word, m_text.mid(i, j - i).toUpper());
                i = j;
            } else {
                push(Token::Other);
                ++i;
            }
        }
        finish(n);
        return m_statements;
    }

private:
    void push(Token token, const QString &word = QString())
    {
        if (m_leading.size() < 3)
            m_leading.append(token == Token::Word ? word : QString());
        m_beforeLast = m_last;
        m_last = token;
        m_lastWord = word;
    }

    // A semicolon inside CREATE [TEMP] TRIGGER ends the statement only when
    // it follows "; END".
    bool inTriggerBody() const
    {
        const bool trigger = m_leading.value(0) == QLatin1String("CREATE")
            && (m_leading.value(1) == QLatin1String("TRIGGER")
                || ((m_leading.value(1) == QLatin1String("TEMP")
                        || m_leading.value(1) == QLatin1String("TEMPORARY"))
                    && m_leading.value(2) == QLatin1String("TRIGGER")));
        if (!trigger)
            return false;
        const bool closesBody = m_beforeLast == Token::Semicolon && m_last == Token::Word
            && m_lastWord == QLatin1String("END");
        return !closesBody;
    }

    void finish(int end)
    {
        if (m_last != Token::None)
            m_statements.append(m_text.mid(m_start, end - m_start).trimmed());
        m_start = end + 1;
        m_leading.clear();
        m_last = m_beforeLast = Token::None;
        m_lastWord.clear();
    }

    const QString &m_text;
    QStringList m_statements;
    int m_start = 0;
    QStringList m_leading; // first three tokens: upper-cased words, empty otherwise
    Token m_last = Token::None;
    Token m_beforeLast = Token::None;
    QString m_lastWord;
};

} // namespace

QStringList splitStatements(const QString &text)
{
    return Splitter(text).run();
}

QString leadingWord(const QString &statement)
{
    const int n = statement.size();
    int i = 0;
    while (i < n) {
        const QChar c = statement.at(i);
        const QChar next = i + 1 < n ? statement.at(i + 1) : QChar();
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
            const int end = statement.indexOf(QLatin1Char('\n'), i + 2);
            i = end < 0 ? n : end + 1;
        } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
            const int end = statement.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? n : end + 2;
        } else {
            break;
        }
    }
    int j = i;
    while (j < n && isWordChar(statement.at(j)))
        ++j;
    return statement.mid(i, j - i).toUpper();
}

} // namespace SqlScript
