#include "tools/Password.h"

#include <cerrno>
#include <cstdio>
#include <sodium.h>

#if defined(Q_OS_WIN)
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace
{

// minisign reads at most this many bytes of a password; a longer line would
// give a key that minisign reads with another password than ours.
constexpr qsizetype MaxPassword = 1023;

#if defined(Q_OS_WIN)

bool inputIsTerminal()
{
    return _isatty(_fileno(stdin)) != 0;
}

// Echo off for the life of the object, so that the password never shows.
class NoEcho
{
public:
    NoEcho() : m_console(GetStdHandle(STD_INPUT_HANDLE))
    {
        m_ok = m_console != INVALID_HANDLE_VALUE && GetConsoleMode(m_console, &m_saved) != 0 &&
               SetConsoleMode(m_console, m_saved & ~DWORD(ENABLE_ECHO_INPUT)) != 0;
    }
    ~NoEcho()
    {
        if (m_ok)
            SetConsoleMode(m_console, m_saved);
    }
    NoEcho(const NoEcho &) = delete;
    NoEcho &operator=(const NoEcho &) = delete;
    bool ok() const { return m_ok; }

private:
    HANDLE m_console;
    DWORD m_saved = 0;
    bool m_ok = false;
};

// One byte of standard input: 1, 0 at its end, -1 on an error.
int readByte(char &byte)
{
    return _read(_fileno(stdin), &byte, 1);
}

#else

bool inputIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

// Echo off for the life of the object, so that the password never shows.
class NoEcho
{
public:
    NoEcho()
    {
        m_ok = tcgetattr(STDIN_FILENO, &m_saved) == 0;
        termios quiet = m_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        m_ok = m_ok && tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho()
    {
        if (m_ok)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
    }
    NoEcho(const NoEcho &) = delete;
    NoEcho &operator=(const NoEcho &) = delete;
    bool ok() const { return m_ok; }

private:
    termios m_saved{};
    bool m_ok = false;
};

int readByte(char &byte)
{
    ssize_t got;
    do
        got = read(STDIN_FILENO, &byte, 1);
    while (got < 0 && errno == EINTR);
    return int(got);
}

#endif

// One line from the terminal, read byte by byte so that no copy of it stays
// in a stdio buffer. A line break ends it ("\r\n" from a Windows console).
Password::Result readLine(const QString &prompt)
{
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    Password::Result result;
    NoEcho noEcho;
    if (!noEcho.ok()) {
        result.problem = QStringLiteral("cannot turn the terminal's echo off to read a password");
        return result;
    }
    QByteArray line;
    line.reserve(MaxPassword + 1);
    char byte = 0;
    int got = 0;
    while ((got = readByte(byte)) == 1 && byte != '\n' && line.size() <= MaxPassword)
        line.append(byte);
    byte = 0;
    // The Enter key was not echoed either.
    std::fputc('\n', stderr);
    if (line.endsWith('\r'))
        line.chop(1);
    if (got != 1)
        result.problem = QStringLiteral("no password: the input ended");
    else if (line.size() > MaxPassword)
        result.problem = QStringLiteral("the password is longer than %1 bytes").arg(MaxPassword);
    else
        result.password = line;
    if (!result.password)
        sodium_memzero(line.data(), std::size_t(line.size()));
    return result;
}

} // namespace

Password::Result Password::obtain(const QString &prompt, bool confirm)
{
    Result result;
    if (qEnvironmentVariableIsSet(Variable)) {
        result.password = qgetenv(Variable);
        return result;
    }
    if (!inputIsTerminal()) {
        result.problem = QStringLiteral("no password: standard input is not a terminal and %1 is "
                                        "not set")
                             .arg(QLatin1String(Variable));
        return result;
    }
    result = readLine(prompt);
    if (!result.password || !confirm)
        return result;
    Result again = readLine(QStringLiteral("The same password again: "));
    if (again.password && *again.password != *result.password)
        again.problem = QStringLiteral("the two passwords differ");
    if (again.password)
        sodium_memzero(again.password->data(), std::size_t(again.password->size()));
    if (again.problem.isEmpty())
        return result;
    sodium_memzero(result.password->data(), std::size_t(result.password->size()));
    return {std::nullopt, again.problem};
}
