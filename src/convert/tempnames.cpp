#include "tempnames.h"

#include <QDir>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

namespace {

// 9^8 names; a folder where this many draws all collide is not one we can write into.
constexpr int kMaxDraws = 100000;

struct Reservations
{
    QMutex mutex;
    QSet<QString> names;
};

Reservations &reservations()
{
    static Reservations instance;
    return instance;
}

QString drawName()
{
    QString name = QStringLiteral("zurvek");
    QRandomGenerator *random = QRandomGenerator::global();
    for (int i = 0; i < 8; ++i)
        name += QChar(char16_t(u'0' + random->bounded(1, 10)));
    return name + QStringLiteral(".mp3");
}

} // namespace

QString reserveTempMp3Path(const QString &folder, const std::function<bool(const QString &)> &exists)
{
    const QString nativeFolder = QDir::toNativeSeparators(folder);
    Reservations &reserved = reservations();
    QMutexLocker lock(&reserved.mutex);
    for (int draw = 0; draw < kMaxDraws; ++draw) {
        const QString name = drawName();
        if (reserved.names.contains(name))
            continue;
        const QString path = Paths::joinPath(nativeFolder, name);
        if (exists(path))
            continue;
        reserved.names.insert(name);
        return path;
    }
    return {};
}

void releaseTempMp3Path(const QString &path)
{
    Reservations &reserved = reservations();
    QMutexLocker lock(&reserved.mutex);
    reserved.names.remove(Paths::fileNameFromPath(path));
}

bool isTempMp3Name(const QString &fileName)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("zurvek[1-9]{8}\\.mp3")));
    return pattern.match(fileName).hasMatch();
}
