#pragma once

#include <QPlainTextEdit>
#include <QString>

// The status log pane. It only grows: every line is appended with a CR LF in
// front of it. The exact text, CR LF included, and the insertion point in it
// are kept here, since the text widget turns line breaks into paragraphs.
// The user can scroll the pane but never type into it or place a caret.
class StatusLog : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit StatusLog(QWidget *parent = nullptr);

    void AddText(const QString &msg);

    const QString &text() const { return m_text; }
    // Insertion point in text(): one character before its end after each line.
    qsizetype insertionPoint() const { return m_cursor; }

signals:
    // The pane got the input focus; the window hands it on at once.
    void focusReceived();

protected:
    void focusInEvent(QFocusEvent *event) override;

private:
    QString m_text;
    qsizetype m_cursor = 0;
};
