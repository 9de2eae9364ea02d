#include "app/StatusLog.h"

#include <QTextCursor>

namespace
{

// The pane lays out each paragraph as a whole, at a cost that grows far
// faster than its length when it has no blank to wrap at: one 64 KiB line
// without a break held the window's thread for seconds, a megabyte for
// minutes. A longer line is therefore shown as paragraphs of at most this
// many characters, broken after the piece's last blank where it has one.
constexpr qsizetype MaxShownLine = 1024;

// Where the piece of a long line that begins at `start` ends.
qsizetype pieceEnd(const QString &text, qsizetype start)
{
    const qsizetype blank = QStringView(text).mid(start, MaxShownLine).lastIndexOf(u' ');
    if (blank > 0)
        return start + blank + 1;
    const qsizetype end = start + MaxShownLine;
    // Never between the two halves of one character.
    return text.at(end - 1).isHighSurrogate() ? end - 1 : end;
}

// CR LF is one line break on screen; a lone CR or LF inside a message breaks
// the line as well.
QString shownText(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QString shown;
    shown.reserve(text.size() + text.size() / MaxShownLine);
    qsizetype start = 0;
    for (;;) {
        qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), start);
        if (lineEnd < 0)
            lineEnd = text.size();
        const qsizetype end = lineEnd - start > MaxShownLine ? pieceEnd(text, start) : lineEnd;
        shown += QStringView(text).sliced(start, end - start);
        if (end == text.size())
            return shown;
        shown += QLatin1Char('\n');
        start = end == lineEnd ? end + 1 : end;
    }
}

} // namespace

StatusLog::StatusLog(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setUndoRedoEnabled(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A word wider than the pane wraps inside it instead of running off its
    // edge, where no scroll bar would reach it.
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setFocusPolicy(Qt::StrongFocus);
}

void StatusLog::AddText(const QString &msg)
{
    const QString line = QStringLiteral("\r\n") + msg;
    m_text += line;
    m_cursor = m_text.size() - 1;

    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shownText(line));
    cursor.movePosition(QTextCursor::PreviousCharacter);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void StatusLog::focusInEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusInEvent(event);
    emit focusReceived();
}
