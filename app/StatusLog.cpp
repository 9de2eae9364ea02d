#include "app/StatusLog.h"

#include <QTextCursor>

namespace
{
// CR LF is one line break on screen; a lone CR or LF inside a message breaks
// the line as well.
QString ShownText(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}
} // namespace

StatusLog::StatusLog(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setUndoRedoEnabled(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
}

void StatusLog::AddText(const QString &msg)
{
    const QString line = QStringLiteral("\r\n") + msg;
    m_text += line;
    m_cursor = m_text.size() - 1;

    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(ShownText(line));
    cursor.movePosition(QTextCursor::PreviousCharacter);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void StatusLog::focusInEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusInEvent(event);
    emit FocusReceived();
}
