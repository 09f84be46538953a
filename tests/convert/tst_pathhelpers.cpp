#include "convert/files/pathhelpers.h"

#include <QTest>

class TestPathHelpers : public QObject
{
    Q_OBJECT

private slots:
    void displayName_data();
    void displayName();
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

QTEST_GUILESS_MAIN(TestPathHelpers)
#include "tst_pathhelpers.moc"
