#include "download/TempFile.h"

#include "system/DiskFlush.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>

namespace
{

// Leaves room in a folder entry's 255 bytes for the rest of the name.
constexpr int keptNameLength = 64;

} // namespace

TempFile::TempFile(const QString &target, const QString &path) : m_target(target), m_file(path) {}

QString TempFile::freshPath(const QString &target)
{
    const QFileInfo info(target);
    // Hidden, and named after its target so that a person who finds one left
    // by a crash knows what it was.
    return info.dir().filePath(
        QLatin1Char('.') + info.fileName().left(keptNameLength) + QLatin1Char('.') +
        QString::number(QRandomGenerator::global()->generate64(), 36) + QStringLiteral(".part"));
}

std::unique_ptr<TempFile> TempFile::create(const QString &target)
{
    const QFileInfo info(target);
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::unique_ptr<TempFile> file(new TempFile(target, freshPath(target)));
        // NewOnly: never write into a file that someone else placed there.
        if (file->m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return file;
        if (file->m_file.error() != QFileDevice::OpenError || !info.dir().exists())
            return nullptr;
    }
    return nullptr;
}

void TempFile::removeLeftovers(const QString &target)
{
    const QFileInfo info(target);
    const QString stem = QLatin1Char('.') + info.fileName().left(keptNameLength) + QLatin1Char('.');
    const QDir folder = info.dir();
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!name.startsWith(stem) || !name.endsWith(QStringLiteral(".part")))
            continue;
        // Only our own names: the stem, a random number in base 36, ".part".
        const QStringView middle = QStringView(name).mid(stem.size()).chopped(5);
        const bool ours =
            !middle.isEmpty() && std::all_of(middle.begin(), middle.end(), [](QChar c) {
                return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z');
            });
        if (ours)
            QFile::remove(folder.filePath(name));
    }
}

TempFile::~TempFile()
{
    m_file.close();
    if (!m_committed)
        QFile::remove(m_file.fileName());
}

std::unique_ptr<TempFile> TempFile::adopt(const QString &target, const QString &kept)
{
    // A name of its own: a read dropped earlier may still hold a file under
    // the fixed name of `kept` and remove it when it goes.
    std::unique_ptr<TempFile> file(new TempFile(target, freshPath(target)));
    // QFile::rename never replaces a file that happens to be there.
    if (!QFile::rename(kept, file->m_file.fileName())) {
        QFile::remove(kept);
        file->m_committed = true;
        return nullptr;
    }
    if (!file->m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return nullptr;
    return file;
}

QString TempFile::moveTo(const QString &to)
{
    m_committed = replaceFile(m_file.fileName(), to);
    if (m_committed)
        return {};
    // Taken before anything else can overwrite the system's error.
    const QString error = qt_error_string();
    return QStringLiteral("replacing %1 by %2 failed: %3").arg(to, m_file.fileName(), error);
}

QString TempFile::keep(const QString &as)
{
    m_file.close();
    return moveTo(as);
}

bool TempFile::write(const char *data, qint64 size)
{
    return m_file.write(data, size) == size;
}

bool TempFile::truncate()
{
    return m_file.resize(0) && m_file.seek(0);
}

QString TempFile::commit()
{
    return moveTo(m_target);
}
