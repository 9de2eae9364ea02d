#include "download/TempFile.h"

#include "download/DiskFlush.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

namespace
{

// Leaves room in a folder entry's 255 bytes for the rest of the name.
constexpr int keptNameLength = 64;

} // namespace

TempFile::TempFile(const QString &target, const QString &path) : m_target(target), m_file(path) {}

std::unique_ptr<TempFile> TempFile::Create(const QString &target)
{
    const QFileInfo info(target);
    // Hidden, and named after its target so that a person who finds one left
    // by a crash knows what it was.
    const QString stem = QLatin1Char('.') + info.fileName().left(keptNameLength) + QLatin1Char('.');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const QString name = stem + QString::number(QRandomGenerator::global()->generate64(), 36) +
                             QStringLiteral(".part");
        std::unique_ptr<TempFile> file(new TempFile(target, info.dir().filePath(name)));
        // NewOnly: never write into a file that someone else placed there.
        if (file->m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return file;
        if (file->m_file.error() != QFileDevice::OpenError || !info.dir().exists())
            return nullptr;
    }
    return nullptr;
}

TempFile::~TempFile()
{
    m_file.close();
    if (!m_committed)
        QFile::remove(m_file.fileName());
}

bool TempFile::Write(const char *data, qint64 size)
{
    return m_file.write(data, size) == size;
}

bool TempFile::Truncate()
{
    return m_file.resize(0) && m_file.seek(0);
}

bool TempFile::Commit()
{
    m_committed = ReplaceFile(m_file.fileName(), m_target);
    return m_committed;
}
