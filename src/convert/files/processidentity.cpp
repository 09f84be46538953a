#include "convert/files/processidentity.h"
#include "convert/files/processidentity_p.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSysInfo>

namespace ProcessIdentity {

namespace {

// Long enough for any run of ours to have touched its files since; short enough that what a
// machine we cannot ask left behind does not pile up for ever.
constexpr qint64 kAbandonedAfterSeconds = 7 * 24 * 3600;

} // namespace

QString tagFor(const QString &bootId, const QString &pidNamespace)
{
    const QByteArray identity = bootId.toUtf8() + '\n' + pidNamespace.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(identity, QCryptographicHash::Sha1).toHex().left(12));
}

QString tag()
{
    static const QString ours = tagFor(QString::fromLatin1(QSysInfo::bootUniqueId()), Detail::pidNamespace());
    return ours;
}

QString mark()
{
    return tag() + u'-' + QString::number(QCoreApplication::applicationPid());
}

bool isAbandoned(const QString &tag, qint64 pid, const QDateTime &lastModified)
{
    if (tag == ProcessIdentity::tag() && pid > 0)
        return Detail::hasEnded(pid);
    return lastModified.isValid() && lastModified.secsTo(QDateTime::currentDateTimeUtc()) > kAbandonedAfterSeconds;
}

} // namespace ProcessIdentity
