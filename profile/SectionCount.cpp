#include "profile/SectionCount.h"

#include "profile/ProfileFile.h"

#include <QFile>

qsizetype sectionCount(const QString &file)
{
    QFile profile(file);
    if (!profile.open(QIODevice::ReadOnly))
        return 0;
    return ProfileFile::sectionCount(profile.read(ProfileFile::MaxFileSize));
}
