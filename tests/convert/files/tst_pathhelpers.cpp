#include "convert/files/pathhelpers.h"
#include "testmain.h"

#include <QDir>
#include <QTest>

class TestPathHelpers : public QObject
{
    Q_OBJECT

private slots:
    void displayName_data();
    void displayName();
    void systemPath_data();
    void systemPath();
};

void TestPathHelpers::displayName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("displayName");

    QTest::newRow("several dots") << QStringLiteral("/music/my.song.m4a") << QStringLiteral("my.song.mp3");
    QTest::newRow("ends in a dot") << QStringLiteral("/music/song.") << QStringLiteral("song.mp3");
    QTest::newRow("only an extension") << QStringLiteral("/music/.m4a") << QStringLiteral(".mp3");
    QTest::newRow("no dot keeps the whole name") << QStringLiteral("/music/song") << QStringLiteral("song.mp3");
    QTest::newRow("dots in folders do not count") << QStringLiteral("/my.music/v1.2/song") << QStringLiteral("song.mp3");
    QTest::newRow("trailing separator") << QStringLiteral("/a/b/") << QStringLiteral(".mp3");
    QTest::newRow("non-ASCII") << QStringLiteral("/musique/été 日本.m4a") << QStringLiteral("été 日本.mp3");
#ifdef Q_OS_WIN
    QTest::newRow("backslash separates") << QStringLiteral("C:\\music/a\\b.m4a") << QStringLiteral("b.mp3");
#else
    QTest::newRow("backslash is part of the name") << QStringLiteral("/music/a\\b.m4a") << QStringLiteral("a\\b.mp3");
#endif
}

void TestPathHelpers::displayName()
{
    QFETCH(QString, path);
    QFETCH(QString, displayName);
    QCOMPARE(Paths::displayNameFor(path), displayName);
}

void TestPathHelpers::systemPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    const QString deep = QStringLiteral("/folder").repeated(40) + QStringLiteral("/song.m4a");   // 329 characters
    QTest::newRow("short") << QStringLiteral("/music/song.m4a") << QDir::toNativeSeparators(QStringLiteral("/music/song.m4a"));
#ifdef Q_OS_WIN
    QTest::newRow("long, on a drive") << QStringLiteral("C:") + deep << QStringLiteral("\\\\?\\C:") + QDir::toNativeSeparators(deep);
    QTest::newRow("long, with dots") << QStringLiteral("C:/x/../x/.") + deep
                                     << QStringLiteral("\\\\?\\C:\\x") + QDir::toNativeSeparators(deep);
    QTest::newRow("long, on a share") << QStringLiteral("//server/share") + deep
                                      << QStringLiteral("\\\\?\\UNC\\server\\share") + QDir::toNativeSeparators(deep);
    QTest::newRow("long, already so") << QStringLiteral("\\\\?\\C:") + QDir::toNativeSeparators(deep)
                                      << QStringLiteral("\\\\?\\C:") + QDir::toNativeSeparators(deep);
#else
    QTest::newRow("long") << deep << deep;
#endif
}

void TestPathHelpers::systemPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(Paths::systemPath(path), expected);
}

QUORVANE_TEST_GUILESS_MAIN(TestPathHelpers)
#include "tst_pathhelpers.moc"
