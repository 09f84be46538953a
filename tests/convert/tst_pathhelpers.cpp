#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QTest>

class TestPathHelpers : public QObject
{
    Q_OBJECT

private slots:
    void namesFromPath_data();
    void namesFromPath();
    void joinPath_data();
    void joinPath();
};

// One source path followed through the chain that yields its display name.
void TestPathHelpers::namesFromPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("withoutExtension");
    QTest::addColumn<QString>("displayName");

    QTest::newRow("several separators")
        << QStringLiteral("/a/b/song.m4a") << QStringLiteral("song.m4a") << QStringLiteral("song")
        << QStringLiteral("song.mp3");
    QTest::newRow("doubled separators")
        << QStringLiteral("/a//b///song.m4a") << QStringLiteral("song.m4a") << QStringLiteral("song")
        << QStringLiteral("song.mp3");
    QTest::newRow("no separator")
        << QStringLiteral("song.m4a") << QStringLiteral("song.m4a") << QStringLiteral("song")
        << QStringLiteral("song.mp3");
    QTest::newRow("trailing separator")
        << QStringLiteral("/a/b/") << QString() << QString() << QStringLiteral(".mp3");
    QTest::newRow("empty") << QString() << QString() << QString() << QStringLiteral(".mp3");
    QTest::newRow("several dots")
        << QStringLiteral("/music/my.song.m4a") << QStringLiteral("my.song.m4a")
        << QStringLiteral("my.song") << QStringLiteral("my.song.mp3");
    QTest::newRow("ends in a dot")
        << QStringLiteral("/music/song.") << QStringLiteral("song.") << QStringLiteral("song")
        << QStringLiteral("song.mp3");
    QTest::newRow("only an extension")
        << QStringLiteral("/music/.m4a") << QStringLiteral(".m4a") << QString()
        << QStringLiteral(".mp3");
    QTest::newRow("no dot keeps the whole name")
        << QStringLiteral("/music/song") << QStringLiteral("song") << QStringLiteral("song")
        << QStringLiteral("song.mp3");
    QTest::newRow("dots in folders do not count")
        << QStringLiteral("/my.music/v1.2/song") << QStringLiteral("song") << QStringLiteral("song")
        << QStringLiteral("song.mp3");
    QTest::newRow("non-ASCII")
        << QStringLiteral("/musique/été 日本.m4a") << QStringLiteral("été 日本.m4a")
        << QStringLiteral("été 日本") << QStringLiteral("été 日本.mp3");
}

void TestPathHelpers::namesFromPath()
{
    QFETCH(QString, path);
    QFETCH(QString, fileName);
    QFETCH(QString, withoutExtension);
    QFETCH(QString, displayName);

    QCOMPARE(Paths::fileNameFromPath(path), fileName);
    QCOMPARE(Paths::removeExtension(fileName), withoutExtension);
    QCOMPARE(Paths::displayNameFor(path), displayName);
}

void TestPathHelpers::joinPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    const QString sep = QDir::separator();
    QTest::newRow("plain folder") << QStringLiteral("/temp") << QStringLiteral("x.mp3")
                                  << QStringLiteral("/temp") + sep + QStringLiteral("x.mp3");
    QTest::newRow("trailing separator") << QStringLiteral("/temp/") << QStringLiteral("x.mp3")
                                        << QStringLiteral("/temp/x.mp3");
    QTest::newRow("root folder") << QStringLiteral("/") << QStringLiteral("x.mp3")
                                 << QStringLiteral("/x.mp3");
    QTest::newRow("empty folder") << QString() << QStringLiteral("x.mp3") << QStringLiteral("x.mp3");
    QTest::newRow("relative folder") << QStringLiteral("out") << QStringLiteral("x.mp3")
                                     << QStringLiteral("out") + sep + QStringLiteral("x.mp3");
}

void TestPathHelpers::joinPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(Paths::joinPath(folder, name), expected);
}

QTEST_GUILESS_MAIN(TestPathHelpers)
#include "tst_pathhelpers.moc"
