#include "filelist/walk/folderwalk.h"
#include "filelist/walk/librarylayout.h"
#include "filelist/walk/walkqueue.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/fsuid.h>
#endif

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

void makeFiles(const QDir &root, const QStringList &relativePaths)
{
    for (const QString &relative : relativePaths) {
        const QString path = root.filePath(relative);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    }
}

// Native full paths for paths relative to root, in the order given.
QStringList under(const QDir &root, const QStringList &relativePaths)
{
    QStringList paths;
    for (const QString &relative : relativePaths)
        paths.append(native(root.filePath(relative)));
    return paths;
}

QStringList shown(const FolderWalk::UnreadableList &unreadable)
{
    QStringList lines;
    for (const FolderWalk::Unreadable &item : unreadable)
        lines.append(item.path + QStringLiteral(": ") + item.reason);
    return lines;
}

} // namespace

class TestFolderWalk : public QObject
{
    Q_OBJECT

private slots:
    void walkGoesLevelByLevel();
    void oneFolderRows_data();
    void oneFolderRows();
    void hiddenFolderIsNotEntered();
    void folderLinksAreEnteredOnce();
    void linksAndSpecialFilesAmongFiles();
    void startFolderMayBeALink();
    void lettersBeyondAscii();
    void undecodableNamesLeftOut();
    void listFolderFilesCounts_data();
    void listFolderFilesCounts();
    void startFolderSpellings_data();
    void startFolderSpellings();
    void unreadableFolderContributesNothing();
    void droppedPaths_data();
    void droppedPaths();
    void cancelledBeforeStartWalksNothing();
    void shippedSamplesAreM4aFiles();
    void shardsSplitTheLibrary();
    void upToDate();
    void walkQueueDeliversInOrder();
    void walkQueueCancelDropsEverything();
};

void TestFolderWalk::walkGoesLevelByLevel()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    // Created deepest first, so creation order cannot pass for walk order.
    makeFiles(root, {QStringLiteral("Music/A/A1/a1.m4a"), QStringLiteral("Music/B/b.m4a"),
                     QStringLiteral("Music/A/a.m4a"), QStringLiteral("Music/m.m4a")});

    // B's files come before A1's: breadth first, not depth first or by full path.
    QCOMPARE(FolderWalk::collectFiles(root.filePath(QStringLiteral("Music")), QStringLiteral("*.m4a")),
             under(root, {QStringLiteral("Music/m.m4a"), QStringLiteral("Music/A/a.m4a"),
                          QStringLiteral("Music/B/b.m4a"), QStringLiteral("Music/A/A1/a1.m4a")}));
}

void TestFolderWalk::oneFolderRows_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("tilde and other types left out")
        << QStringLiteral("*.m4a")
        << QStringList{QStringLiteral("c.mp3"), QStringLiteral("~b.m4a"), QStringLiteral("a.m4a")}
        << QStringList{QStringLiteral("a.m4a")};
    QTest::newRow("upper-case extension")
        << QStringLiteral("*.m4a")
        << QStringList{QStringLiteral("SONG.M4A"), QStringLiteral("song.m4a.txt")}
        << QStringList{QStringLiteral("SONG.M4A")};
    QTest::newRow("hidden file included")
        << QStringLiteral("*.m4a")
        << QStringList{QStringLiteral(".x.m4a")}
        << QStringList{QStringLiteral(".x.m4a")};
    QTest::newRow("by name whatever the case")
        << QStringLiteral("*.m4a")
        << QStringList{QStringLiteral("c.m4a"), QStringLiteral("B.m4a"), QStringLiteral("a.m4a")}
        << QStringList{QStringLiteral("a.m4a"), QStringLiteral("B.m4a"), QStringLiteral("c.m4a")};
    QTest::newRow("every file, also without a dot")
        << QStringLiteral("*.*")
        << QStringList{QStringLiteral("notes.txt"), QStringLiteral("README"),
                       QStringLiteral("~x.m4a"), QStringLiteral("a.m4a")}
        << QStringList{QStringLiteral("a.m4a"), QStringLiteral("notes.txt"), QStringLiteral("README")};
    QTest::newRow("star alone, also without a dot")
        << QStringLiteral("*")
        << QStringList{QStringLiteral("README"), QStringLiteral("~x.m4a"), QStringLiteral("a.m4a")}
        << QStringList{QStringLiteral("a.m4a"), QStringLiteral("README")};
    QTest::newRow("other wildcards")
        << QStringLiteral("track?.M4A")
        << QStringList{QStringLiteral("track10.m4a"), QStringLiteral("track1.m4a")}
        << QStringList{QStringLiteral("track1.m4a")};
    QTest::newRow("audiobooks too, as quorvane-cli searches")
        << QStringLiteral("*.m4a;*.m4b")
        << QStringList{QStringLiteral("book.M4B"), QStringLiteral("song.m4a"), QStringLiteral("clip.mp4")}
        << QStringList{QStringLiteral("book.M4B"), QStringLiteral("song.m4a")};
    QTest::newRow("nothing matches")
        << QStringLiteral("*.m4a")
        << QStringList{QStringLiteral("cover.jpg")}
        << QStringList{};
}

void TestFolderWalk::oneFolderRows()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, files);

    QCOMPARE(FolderWalk::collectFiles(tmp.path(), pattern), under(root, expected));
}

void TestFolderWalk::hiddenFolderIsNotEntered()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral(".cache/h.m4a"), QStringLiteral(".cache/deeper/d.m4a"),
                     QStringLiteral("A/a.m4a")});
#ifdef Q_OS_WIN
    // On Windows the attribute hides a folder, not the leading dot.
    const std::wstring hiddenPath = native(root.filePath(QStringLiteral(".cache"))).toStdWString();
    QVERIFY(SetFileAttributesW(hiddenPath.c_str(), FILE_ATTRIBUTE_HIDDEN));
#endif

    QCOMPARE(FolderWalk::collectFiles(tmp.path(), QStringLiteral("*.*")),
             under(root, {QStringLiteral("A/a.m4a")}));
}

void TestFolderWalk::folderLinksAreEnteredOnce()
{
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes shortcut files on Windows, not folder links");
#else
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("Music/m.m4a"), QStringLiteral("Music/A/a.m4a"),
                     QStringLiteral("Music/B/b.m4a"), QStringLiteral("Elsewhere/e.m4a")});
    // A loop back up, a second road to a folder the walk reaches anyway, and a road out
    // that leads to files nothing else reaches.
    QVERIFY(QFile::link(root.filePath(QStringLiteral("Music")),
                        root.filePath(QStringLiteral("Music/A/up"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("Music/B")),
                        root.filePath(QStringLiteral("Music/A/toB"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("Elsewhere")),
                        root.filePath(QStringLiteral("Music/out"))));

    QCOMPARE(FolderWalk::collectFiles(root.filePath(QStringLiteral("Music")), QStringLiteral("*.m4a")),
             under(root, {QStringLiteral("Music/m.m4a"), QStringLiteral("Music/A/a.m4a"),
                          QStringLiteral("Music/B/b.m4a"), QStringLiteral("Music/out/e.m4a")}));

    // Links that another user owns, to a folder and to a file of this user's, are named and
    // left alone: they would carry this user's files into a tree that user reads.
    if (::geteuid() != 0)
        QSKIP("playing a second local user needs root, to give the links another owner");
    makeFiles(root, {QStringLiteral("Private/p.m4a")});
    for (const auto &[target, link] : {std::pair{"Private", "Music/theirs"}, std::pair{"Private/p.m4a", "Music/theirs.m4a"}}) {
        QVERIFY(QFile::link(root.filePath(QLatin1String(target)), root.filePath(QLatin1String(link))));
        QCOMPARE(::lchown(QFile::encodeName(root.filePath(QLatin1String(link))).constData(), 65534, 65534), 0);
    }
    FolderWalk::UnreadableList unreadable;
    QCOMPARE(FolderWalk::collectFiles(root.filePath(QStringLiteral("Music")), QStringLiteral("*.m4a"), nullptr, &unreadable),
             under(root, {QStringLiteral("Music/m.m4a"), QStringLiteral("Music/A/a.m4a"),
                          QStringLiteral("Music/B/b.m4a"), QStringLiteral("Music/out/e.m4a")}));
    QStringList refused;
    for (const QString &path : under(root, {QStringLiteral("Music/theirs"), QStringLiteral("Music/theirs.m4a")}))
        refused.append(path + QStringLiteral(": a link another user owns, not followed"));
    QCOMPARE(shown(unreadable), refused);
#endif
}

// Files are what QDir counts as files: a link to a file is one, a broken link, a link to a
// folder and a pipe are not. A pipe, or a link to one, is named, never opened.
void TestFolderWalk::linksAndSpecialFilesAmongFiles()
{
#ifdef Q_OS_WIN
    QSKIP("Links and pipes are made the POSIX way here");
#else
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("a.m4a"), QStringLiteral("Folder.m4a/f.m4a")});
    QVERIFY(QFile::link(root.filePath(QStringLiteral("a.m4a")), root.filePath(QStringLiteral("toFile.m4a"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("gone")), root.filePath(QStringLiteral("broken.m4a"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("Folder.m4a")), root.filePath(QStringLiteral("toFolder.m4a"))));
    QCOMPARE(::mkfifo(QFile::encodeName(root.filePath(QStringLiteral("pipe.m4a"))).constData(), 0600), 0);
    QVERIFY(QFile::link(root.filePath(QStringLiteral("pipe.m4a")), root.filePath(QStringLiteral("toPipe.m4a"))));

    FolderWalk::UnreadableList unreadable;
    QCOMPARE(FolderWalk::listFolderFiles(tmp.path(), QStringLiteral("*.m4a"), &unreadable),
             (QStringList{QStringLiteral("a.m4a"), QStringLiteral("toFile.m4a")}));
    QCOMPARE(FolderWalk::collectFiles(tmp.path(), QStringLiteral("*.*"), nullptr, &unreadable),
             under(root, {QStringLiteral("a.m4a"), QStringLiteral("toFile.m4a"),
                          QStringLiteral("Folder.m4a/f.m4a")}));
    QStringList pipes;
    for (const QString &path : under(root, {QStringLiteral("pipe.m4a"), QStringLiteral("toPipe.m4a")}))
        pipes.append(path + QStringLiteral(": not a regular file"));
    QCOMPARE(shown(unreadable), pipes + pipes);   // from each of the two walks
#endif
}

// The folder given is walked even when it is a link: the user picked it. Rows keep the
// link's path.
void TestFolderWalk::startFolderMayBeALink()
{
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes shortcut files on Windows, not folder links");
#else
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("Real/r.m4a"), QStringLiteral("Real/Sub/s.m4a")});
    QVERIFY(QFile::link(root.filePath(QStringLiteral("Real")), root.filePath(QStringLiteral("Link"))));

    QCOMPARE(FolderWalk::collectFiles(root.filePath(QStringLiteral("Link")), QStringLiteral("*.m4a")),
             under(root, {QStringLiteral("Link/r.m4a"), QStringLiteral("Link/Sub/s.m4a")}));
#endif
}

void TestFolderWalk::lettersBeyondAscii()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("Ölfarben/Étude.M4A"), QStringLiteral("Ölfarben/zebra.m4a"),
                     QStringLiteral("Ölfarben/Ärger.m4a"), QStringLiteral("Ölfarben/~Ünterlage.m4a"),
                     QStringLiteral("Ölfarben/Tief/ß.m4a")});

    QCOMPARE(FolderWalk::collectFiles(tmp.path(), QStringLiteral("*.m4a")),
             under(root, {QStringLiteral("Ölfarben/zebra.m4a"), QStringLiteral("Ölfarben/Ärger.m4a"),
                          QStringLiteral("Ölfarben/Étude.M4A"), QStringLiteral("Ölfarben/Tief/ß.m4a")}));
}

// A name the local encoding cannot carry would become a path that names nothing.
void TestFolderWalk::undecodableNamesLeftOut()
{
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    QSKIP("File names there are always valid Unicode");
#else
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("ok.m4a")});
    const QByteArray base = QFile::encodeName(tmp.path()) + '/';
    const int fd = ::open((base + "bad\xff.m4a").constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        QSKIP("This file system does not take a name that is not UTF-8");
    ::close(fd);
    // QTemporaryDir cannot remove what it cannot name.
    const auto removeUndecodable = qScopeGuard([&base] {
        ::unlink((base + "dir\xfe/in.m4a").constData());
        ::rmdir((base + "dir\xfe").constData());
        ::unlink((base + "bad\xff.m4a").constData());
    });
    QCOMPARE(::mkdir((base + "dir\xfe").constData(), 0700), 0);
    QCOMPARE(::close(::open((base + "dir\xfe/in.m4a").constData(), O_WRONLY | O_CREAT | O_EXCL, 0600)), 0);

    FolderWalk::UnreadableList unreadable;
    QCOMPARE(FolderWalk::collectFiles(tmp.path(), QStringLiteral("*.*"), nullptr, &unreadable),
             under(root, {QStringLiteral("ok.m4a")}));
    const QString reason = QStringLiteral(": its name is not valid UTF-8");
    QCOMPARE(shown(unreadable), (QStringList{tmp.path() + QStringLiteral("/bad\\xff.m4a") + reason,
                                             tmp.path() + QStringLiteral("/dir\\xfe") + reason}));
    QCOMPARE(FolderWalk::listFolderFiles(tmp.path(), QStringLiteral("*.*")), QStringList{QStringLiteral("ok.m4a")});
#endif
}

void TestFolderWalk::listFolderFilesCounts_data()
{
    QTest::addColumn<int>("songs");

    QTest::newRow("150 songs") << 150;
    QTest::newRow("none") << 0;
}

void TestFolderWalk::listFolderFilesCounts()
{
    QFETCH(int, songs);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    QStringList files{QStringLiteral("playlist.m3u"), QStringLiteral("sub.m4a/inner.txt")};
    for (int i = 0; i < songs; ++i)
        files.append(QStringLiteral("track %1.m4a").arg(i, 3, 10, QLatin1Char('0')));
    makeFiles(root, files);

    // A folder named like a song is not a file.
    const QStringList names = FolderWalk::listFolderFiles(tmp.path(), QStringLiteral("*.m4a"));
    QCOMPARE(names.size(), songs);
    if (songs > 0) {
        QCOMPARE(names.first(), QStringLiteral("track 000.m4a"));
        QCOMPARE(names.last(), QStringLiteral("track %1.m4a").arg(songs - 1, 3, 10, QLatin1Char('0')));
    }
}

void TestFolderWalk::startFolderSpellings_data()
{
    QTest::addColumn<QString>("suffix");

    QTest::newRow("bare") << QString();
    QTest::newRow("trailing separator") << QString(QDir::separator());
    QTest::newRow("two trailing separators") << QString(QDir::separator()) + QDir::separator();
}

void TestFolderWalk::startFolderSpellings()
{
    QFETCH(QString, suffix);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("Music/m.m4a"), QStringLiteral("Music/A/a.m4a")});

    const QStringList rows = FolderWalk::collectFiles(
        native(root.filePath(QStringLiteral("Music"))) + suffix, QStringLiteral("*.m4a"));
    QCOMPARE(rows, under(root, {QStringLiteral("Music/m.m4a"), QStringLiteral("Music/A/a.m4a")}));
}

// Listed can be listed but not entered, so its names would open nothing.
void TestFolderWalk::unreadableFolderContributesNothing()
{
#ifdef Q_OS_WIN
    QSKIP("Windows keeps readers out with access lists, which permission bits do not set");
#endif
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("A/a.m4a"), QStringLiteral("Locked/l.m4a"), QStringLiteral("Locked/Inner/i.m4a"),
                     QStringLiteral("Listed/s.m4a"), QStringLiteral("Z/z.m4a")});
    const QString locked = root.filePath(QStringLiteral("Locked"));
    const QString listed = root.filePath(QStringLiteral("Listed"));
    const auto open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                      | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(tmp.path(), open));
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    QVERIFY(QFile::setPermissions(listed, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
#ifdef Q_OS_LINUX
    // Permission bits do not keep root out, the rights of nobody do: the file-system user is
    // one of the thread's, and the walk runs on this one (root removes the folder anyway).
    const auto back = qScopeGuard([root = ::geteuid() == 0 && ::setfsuid(65534) == 0] { if (root) ::setfsuid(0); });
#endif
    const bool stillReadable = !QDir(locked).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty();
    FolderWalk::UnreadableList unreadable;
    const QStringList rows = FolderWalk::collectFiles(tmp.path(), QStringLiteral("*.m4a"), nullptr, &unreadable);
    QFile::setPermissions(locked, open);
    QFile::setPermissions(listed, open);
    if (stillReadable)
        QSKIP("Permissions do not keep this user out");

    QCOMPARE(rows, under(root, {QStringLiteral("A/a.m4a"), QStringLiteral("Z/z.m4a")}));
    QCOMPARE(shown(unreadable), (QStringList{native(listed) + QStringLiteral(": permission denied"),
                                             native(locked) + QStringLiteral(": permission denied")}));
}

void TestFolderWalk::droppedPaths_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two files in the given order")
        << QStringList{QStringLiteral("a.m4a"), QStringLiteral("b.wav")}
        << QStringList{QStringLiteral("a.m4a"), QStringLiteral("b.wav")};
    QTest::newRow("folder: every type, no tilde names")
        << QStringList{QStringLiteral("F")}
        << QStringList{QStringLiteral("F/a.m4a"), QStringLiteral("F/notes.txt")};
    QTest::newRow("siblings, each file once")
        << QStringList{QStringLiteral("A"), QStringLiteral("B")}
        << QStringList{QStringLiteral("A/a.m4a"), QStringLiteral("A/A1/a1.m4a"), QStringLiteral("B/b.m4a")};
    QTest::newRow("file before folder")
        << QStringList{QStringLiteral("b.wav"), QStringLiteral("B")}
        << QStringList{QStringLiteral("b.wav"), QStringLiteral("B/b.m4a")};
    QTest::newRow("dropped tilde file is kept")
        << QStringList{QStringLiteral("~t.m4a")}
        << QStringList{QStringLiteral("~t.m4a")};
    QTest::newRow("missing path kept as a file")
        << QStringList{QStringLiteral("gone.m4a")}
        << QStringList{QStringLiteral("gone.m4a")};
    QTest::newRow("empty folder")
        << QStringList{QStringLiteral("Empty")}
        << QStringList{};
#ifndef Q_OS_WIN
    // F also holds a link back to L: the loop ends once each folder has been listed.
    QTest::newRow("linked folder entered once")
        << QStringList{QStringLiteral("L")}
        << QStringList{QStringLiteral("L/toF/a.m4a"), QStringLiteral("L/toF/notes.txt")};
#endif
}

void TestFolderWalk::droppedPaths()
{
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, expected);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("a.m4a"), QStringLiteral("b.wav"), QStringLiteral("~t.m4a"),
                     QStringLiteral("F/a.m4a"), QStringLiteral("F/~x.m4a"), QStringLiteral("F/notes.txt"),
                     QStringLiteral("A/a.m4a"), QStringLiteral("A/A1/a1.m4a"), QStringLiteral("B/b.m4a")});
    QVERIFY(root.mkdir(QStringLiteral("Empty")));
#ifndef Q_OS_WIN
    // (QFile::link makes shortcut files on Windows, not folder links.)
    QVERIFY(root.mkdir(QStringLiteral("L")));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("F")), root.filePath(QStringLiteral("L/toF"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("L")), root.filePath(QStringLiteral("F/back"))));
#endif

    // Drag sources deliver forward slashes too; rows come out native.
    QStringList paths;
    for (const QString &relative : std::as_const(dropped))
        paths.append(root.filePath(relative));

    QCOMPARE(FolderWalk::expandPaths(paths, QStringLiteral("*.*")), under(root, expected));
}

void TestFolderWalk::cancelledBeforeStartWalksNothing()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    makeFiles(root, {QStringLiteral("m.m4a"), QStringLiteral("A/a.m4a")});
    const std::atomic_bool cancelled{true};
    QVERIFY(FolderWalk::collectFiles(tmp.path(), QStringLiteral("*.*"), &cancelled).isEmpty());
    QVERIFY(FolderWalk::expandPaths({tmp.path()}, QStringLiteral("*.*"), &cancelled).isEmpty());
}

// The sample folder is listed with "*.*", so anything else put there would land in the list.
void TestFolderWalk::shippedSamplesAreM4aFiles()
{
    const QString sourceDir = qEnvironmentVariable("QUORVANE_SOURCE_DIR");
    if (sourceDir.isEmpty())
        QSKIP("QUORVANE_SOURCE_DIR is not set (the test runs under ctest)");
    const QString samples = QDir(sourceDir).filePath(QStringLiteral("data/Samples"));

    const QStringList names = FolderWalk::listFolderFiles(samples, QStringLiteral("*.*"));
    QVERIFY2(names.size() >= 3, qPrintable(names.join(u", ")));
    for (const QString &name : names) {
        QVERIFY2(name.endsWith(QLatin1String(".m4a")), qPrintable(name));
        QFile file(QDir(samples).filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        // An MPEG-4 file opens with its file-type box.
        QCOMPARE(file.read(8).mid(4), QByteArray("ftyp"));
    }
}

void TestFolderWalk::shardsSplitTheLibrary()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir root(tmp.path());
    QStringList files{QStringLiteral("C/direct.m4a")};
    for (int i = 0; i < 30; ++i)
        files << QStringLiteral("A/Album %1/%2.m4a").arg(i % 4).arg(i) << QStringLiteral("B/%1.m4a").arg(i);
    makeFiles(root, files);
    // A folder named inside another named folder, again, or again through a link, adds no
    // second copy of its files; a file there under two names is two sources all the same.
    QStringList named = under(root, {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C/direct.m4a"),
                                     QStringLiteral("A/Album 1"), QStringLiteral("A/./Album 1/")});
#ifdef Q_OS_UNIX
    QVERIFY(QFile::link(root.filePath(QStringLiteral("B")), root.filePath(QStringLiteral("Link to B"))));
    named.append(root.filePath(QStringLiteral("Link to B")));
    files << QStringLiteral("A/Album 1/again 2.m4a") << QStringLiteral("B/again 3.m4a");
    QCOMPARE(::link(QFile::encodeName(root.filePath(QStringLiteral("A/Album 2/2.m4a"))).constData(),
                    QFile::encodeName(root.filePath(files.at(files.size() - 2))).constData()), 0);
    QCOMPARE(::link(QFile::encodeName(root.filePath(QStringLiteral("B/3.m4a"))).constData(),
                    QFile::encodeName(root.filePath(files.constLast())).constData()), 0);
#endif

    // What --keep-tree --shard K/N saves where.
    const auto take = [](const QStringList &paths, int shard, int count) {
        const LibraryLayout::RunPlan plan = LibraryLayout::planRun(
            LibraryLayout::collectSources(paths, QStringLiteral("*.m4a")), QString(), {true, false, shard, count, {}});
        return QSet<QString>(plan.saveNames.cbegin(), plan.saveNames.cend());
    };
    for (const int count : {1, 2, 3, 7}) {
        QSet<QString> all;
        for (int shard = 1; shard <= count; ++shard) {
            const QSet<QString> taken = take(named, shard, count);
            QCOMPARE(take(QStringList(named.crbegin(), named.crend()), shard, count), taken);
            QVERIFY(!taken.isEmpty() && !taken.intersects(all));
            all.unite(taken);
        }
        QCOMPARE(all.size(), files.size());
    }
    // A signal (its raised flag) stops the plan before it takes a source.
    const std::atomic_bool cancelled{true};
    QVERIFY(LibraryLayout::planRun(LibraryLayout::collectSources(named, QStringLiteral("*.m4a")), QString(),
                                   {true, false, 1, 1, {}}, &cancelled).sources.isEmpty());
    // SHA-1's published values pin the hash on every machine; so does the normal form.
    QCOMPARE(LibraryLayout::pathHash(QString()), Q_UINT64_C(0xda39a3ee5e6b4b0d));
    QCOMPARE(LibraryLayout::pathHash(QStringLiteral("a")), Q_UINT64_C(0x86f7e437faa5a7fc));
    QCOMPARE(LibraryLayout::pathHash(QStringLiteral("Caf\u00e9")), LibraryLayout::pathHash(QStringLiteral("Cafe\u0301")));

    // Shards are even, within a fifth of the mean, for libraries whose paths differ in a
    // digit or two; each number twice pairs up the odd bytes, which a hash whose low bit
    // only counts them puts all in one of 2. 4,096 paths: with 1,000 in 8 shards even a
    // perfect hash strays that far once in eight libraries.
    const QStringList libraries{QStringLiteral("Lib/d%1/s%2.m4a"),
                                QStringLiteral("Podcast/Episode %1-%2/Episode %1-%2.m4a")};
    for (const QString &pattern : libraries) {
        for (const int count : {2, 3, 8}) {
            QList<int> sizes(count, 0);
            for (int i = 0; i < 4096; ++i)
                ++sizes[LibraryLayout::shardOf(pattern.arg(i / 64).arg(i % 64), count) - 1];
            const double mean = 4096.0 / count;
            for (const int size : std::as_const(sizes))
                QVERIFY2(qAbs(size - mean) <= 0.2 * mean, qPrintable(pattern + u' ' + QString::number(size)));
        }
    }
}

void TestFolderWalk::upToDate()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString source = tmp.filePath(QStringLiteral("a.m4a"));
    const QString output = tmp.filePath(QStringLiteral("a.mp3"));
    const QDateTime time(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);
    const auto place = [](const QString &path, const QDateTime &when) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.setFileTime(when, QFileDevice::FileModificationTime);
    };
    QVERIFY(place(output, time));
    QVERIFY(!LibraryLayout::isUpToDate(output, source));   // the source is gone
    QVERIFY(place(source, time));
    QVERIFY(LibraryLayout::isUpToDate(output, source));    // as old as its source
    QVERIFY(place(source, time.addSecs(1)));
    QVERIFY(!LibraryLayout::isUpToDate(output, source));   // the source changed since
}

namespace {

// A walk that only names itself, as a row (none once the flag is raised) and as unreadable.
WalkQueue::Job namingWalk(const QString &name)
{
    return [name](const std::atomic_bool *cancelled, FolderWalk::UnreadableList *unreadable) {
        unreadable->append({name, QStringLiteral("permission denied")});
        return cancelled->load() ? QStringList() : QStringList{name};
    };
}

// One entry for each rowsReady: its rows joined by "+".
QStringList delivered(const QSignalSpy &spy)
{
    QStringList rows;
    for (const QVariantList &arguments : spy)
        rows.append(arguments.at(0).toStringList().join(u'+'));
    return rows;
}

} // namespace

// Walks end in the order they were asked for, their rows delivered on the queue's thread,
// and the queue is busy from the first request until the last rows are in.
void TestFolderWalk::walkQueueDeliversInOrder()
{
    WalkQueue queue;
    QSignalSpy rows(&queue, &WalkQueue::rowsReady);
    QSignalSpy busy(&queue, &WalkQueue::busyChanged);
    bool onQueueThread = true;
    connect(&queue, &WalkQueue::rowsReady, this, [&] { onQueueThread &= QThread::currentThread() == queue.thread(); });
    for (const char *name : {"a", "b", "c"})
        queue.enqueue(namingWalk(QString::fromLatin1(name)));
    QVERIFY(queue.isBusy());
    QVERIFY(busy.wait(10000));
    QCOMPARE(busy, (QList<QVariantList>{{true}, {false}}));
    QCOMPARE(delivered(rows), (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
    QVERIFY(onQueueThread);
    QVERIFY(!queue.isBusy());
    QCOMPARE(shown(queue.takeUnreadable()).join(u' '),
             QStringLiteral("a: permission denied b: permission denied c: permission denied"));
    QVERIFY(queue.takeUnreadable().isEmpty());
}

// A cancel drops the waiting walks and the running one's rows, also ones already made but
// not yet delivered; the next walk starts afresh.
void TestFolderWalk::walkQueueCancelDropsEverything()
{
    WalkQueue queue;
    QSignalSpy rows(&queue, &WalkQueue::rowsReady);
    QSignalSpy busy(&queue, &WalkQueue::busyChanged);
    queue.enqueue(namingWalk(QStringLiteral("running")));
    queue.enqueue(namingWalk(QStringLiteral("waiting")));
    queue.cancelAll();
    QVERIFY(!queue.isBusy());
    QCOMPARE(busy, (QList<QVariantList>{{true}, {false}}));
    queue.enqueue(namingWalk(QStringLiteral("next")));
    QVERIFY(busy.wait(10000));
    QCOMPARE(delivered(rows), QStringList{QStringLiteral("next")});
    QCOMPARE(shown(queue.takeUnreadable()), QStringList{QStringLiteral("next: permission denied")});
}

QUORVANE_TEST_GUILESS_MAIN(TestFolderWalk)
#include "tst_folderwalk.moc"
