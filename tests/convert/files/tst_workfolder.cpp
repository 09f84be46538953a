#include "testkit.h"
#include "testmain.h"

#include "convert/files/processidentity.h"
#include "convert/files/workfolder.h"
#include "convert/saving/resultsaver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

using TestKit::entries;
using TestKit::writeFile;

// The program's own folder for temporary files, the names in it, and the sweeps that take
// only what a program that has surely ended left in a folder shared with others.
class TestWorkFolder : public QObject
{
    Q_OBJECT

private slots:
    void folderIsPrivateAndLasts();
    void namesAreNewAndNeverRepeat();
    void onlySurelyDeadProgramsAreSwept_data();
    void onlySurelyDeadProgramsAreSwept();
    void sweepTouchesOnlyWhatIsSurelyOurs_data();
    void sweepTouchesOnlyWhatIsSurelyOurs();
};

void TestWorkFolder::folderIsPrivateAndLasts()
{
    QTemporaryDir shared;
    const QString folder = WorkFolder::in(shared.path());
    QVERIFY(!folder.isEmpty());
    QCOMPARE(QFileInfo(folder).absolutePath(), QFileInfo(shared.path()).absoluteFilePath());
    QVERIFY(QFileInfo(folder).fileName().startsWith(QStringLiteral("quorvane-") + ProcessIdentity::mark() + u'-'));
    QCOMPARE(int(QFileInfo(folder).permissions() & 0x0077), 0);   // no right for group or others
    QCOMPARE(WorkFolder::in(shared.path()), folder);
    QCOMPARE(WorkFolder::removeAbandoned(shared.path()), 0);   // a living program's stays
    QCOMPARE(entries(shared.path()), QStringList{QFileInfo(folder).fileName()});

    // Taken away under the program: made again, never written into as a missing path.
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(QFileInfo(WorkFolder::in(shared.path())).isDir());
    QString problem;
    QCOMPARE(WorkFolder::in(shared.filePath(QStringLiteral("missing")), &problem), QString());
    QVERIFY2(problem.startsWith(QStringLiteral("the temporary folder is not writable: ")), qPrintable(problem));
}

// Counted: every name new, in the folder, of the one pattern, also once files and links to
// nowhere lie at the names handed out before.
void TestWorkFolder::namesAreNewAndNeverRepeat()
{
    QTemporaryDir dir;
    QSet<QString> names;
    for (int i = 0; i < 20000; ++i) {
        const QString path = WorkFolder::newTempMp3Path(dir.path());
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
        QVERIFY(TestKit::isTempMp3Name(QFileInfo(path).fileName()));
        names.insert(QFileInfo(path).fileName());
        QVERIFY(i % 2 == 0 ? writeFile(path, "taken") : QFile::link(dir.filePath(QStringLiteral("nowhere")), path));
    }
    QCOMPARE(names.size(), 20000);
    QCOMPARE(entries(dir.path()).size(), 20000);
}

// A program's folder in the temporary folder and its part file in an output folder, marked
// as a program of this or another boot and PID namespace would mark them, each judged alike.
void TestWorkFolder::onlySurelyDeadProgramsAreSwept_data()
{
    QTest::addColumn<QString>("tag");     // "ours", "other boot", "other namespace" or "none" (older versions)
    QTest::addColumn<QString>("process");   // of the marked id: "gone", "running", or "unreaped" (ended)
    QTest::addColumn<int>("ageDays");
    QTest::addColumn<bool>("removed");

    QTest::newRow("here, ended") << QStringLiteral("ours") << QStringLiteral("gone") << 0 << true;
    QTest::newRow("here, ended, not reaped yet") << QStringLiteral("ours") << QStringLiteral("unreaped") << 0 << true;
    QTest::newRow("here, running") << QStringLiteral("ours") << QStringLiteral("running") << 0 << false;
    QTest::newRow("here, running, untouched for weeks") << QStringLiteral("ours") << QStringLiteral("running") << 30 << false;
    QTest::newRow("another host, its id unused here") << QStringLiteral("other boot") << QStringLiteral("gone") << 0 << false;
    QTest::newRow("a container, its id unused here") << QStringLiteral("other namespace") << QStringLiteral("gone") << 0 << false;
    QTest::newRow("a container, its id running here") << QStringLiteral("other namespace") << QStringLiteral("running") << 0 << false;
    QTest::newRow("another host, six days old") << QStringLiteral("other boot") << QStringLiteral("gone") << 6 << false;
    QTest::newRow("another host, eight days old") << QStringLiteral("other boot") << QStringLiteral("running") << 8 << true;
    QTest::newRow("older version, ended") << QStringLiteral("none") << QStringLiteral("gone") << 0 << false;
    QTest::newRow("older version, eight days old") << QStringLiteral("none") << QStringLiteral("gone") << 8 << true;
}

void TestWorkFolder::onlySurelyDeadProgramsAreSwept()
{
    QFETCH(QString, tag);
    QFETCH(QString, process);
    QFETCH(int, ageDays);
    QFETCH(bool, removed);
    const QString bootId = QString::fromLatin1(QSysInfo::bootUniqueId());
    const QString marked = tag == QStringLiteral("ours")              ? ProcessIdentity::tag()
                           : tag == QStringLiteral("other boot")      ? ProcessIdentity::tagFor(QStringLiteral("another-boot"), QString())
                           : tag == QStringLiteral("other namespace") ? ProcessIdentity::tagFor(bootId, QStringLiteral("pid:[1]"))
                                                                      : QString();
    qint64 pid = process == QStringLiteral("gone") ? TestKit::goneProcessId() : QCoreApplication::applicationPid();
    if (process == QStringLiteral("unreaped")) {
        pid = ::fork();
        if (pid == 0)
            ::_exit(0);
        siginfo_t ended{};   // returns once it has ended, and leaves it unreaped
        QCOMPARE(::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOWAIT), 0);
    }
    const auto reap = qScopeGuard([&] {
        if (process == QStringLiteral("unreaped"))
            ::waitpid(pid_t(pid), nullptr, 0);
    });
    QVERIFY(pid > 0);
    const QString mark = (marked.isEmpty() ? QString() : marked + u'-') + QString::number(pid);

    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("quorvane-%1-aBc123").arg(mark));
    const QString part = dir.filePath(QStringLiteral("out/.quorvane-%1-aBc123.part").arg(mark));
    QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("zurvek12345678.mp3")), "work"));
    QVERIFY(writeFile(part, "part"));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));   // as ours are made
    const time_t then = time_t(QDateTime::currentDateTimeUtc().addDays(-ageDays).toSecsSinceEpoch());
    const utimbuf times{then, then};
    for (const QString &path : {folder, part})
        QCOMPARE(::utime(QFile::encodeName(path).constData(), &times), 0);

    QCOMPARE(WorkFolder::removeAbandoned(dir.path()), removed ? 1 : 0);
    QCOMPARE(ResultSaver::removeAbandonedParts(dir.filePath(QStringLiteral("out"))), removed ? 1 : 0);
    QCOMPARE(QFileInfo::exists(folder), !removed);
    QCOMPARE(QFileInfo::exists(part), !removed);
}

// Another user, or a race, at the name of a folder the sweep would take (this boot, its
// process gone): nothing is removed but what is surely ours, and nothing outside it. The
// temporary folder is sticky and open to all, as /tmp is; the victim is a folder of ours.
void TestWorkFolder::sweepTouchesOnlyWhatIsSurelyOurs_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("another user's folder and part file") << QStringLiteral("other user");
    QTest::newRow("a link to a folder of ours") << QStringLiteral("link");
    QTest::newRow("a folder open to others") << QStringLiteral("open");
    QTest::newRow("our folder swapped with a link, over and over") << QStringLiteral("swapped");
}

void TestWorkFolder::sweepTouchesOnlyWhatIsSurelyOurs()
{
    QFETCH(QString, planted);
    QTemporaryDir dir;
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
    const QString victim = dir.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim + QStringLiteral("/mine"), "mine") && writeFile(victim + QStringLiteral("/sub/mine"), "mine"));
    const QString mark = ProcessIdentity::tag() + u'-' + QString::number(TestKit::goneProcessId());
    const QByteArray name = QFile::encodeName(dir.filePath(QStringLiteral("quorvane-%1-aBc123").arg(mark)));
    const QByteArray part = QFile::encodeName(dir.filePath(QStringLiteral(".quorvane-%1-aBc123.part").arg(mark)));
    const QByteArray inside = name + "/zurvek12345678.mp3";
    const QByteArray decoy = QFile::encodeName(dir.filePath(QStringLiteral("decoy")));
    const QByteArray target = QFile::encodeName(victim);
    std::atomic_bool stop{false};
    std::thread swapper;
    const auto joined = qScopeGuard([&] {
        stop = true;
        if (swapper.joinable())
            swapper.join();
    });

    if (planted == QStringLiteral("other user")) {
        QUORVANE_SKIP_UNLESS_ROOT();
        QCOMPARE(TestKit::asOtherUser([&] {
                     return ::mkdir(name.constData(), 0700) == 0 && ::close(::creat(inside.constData(), 0600)) == 0
                                    && ::close(::creat(part.constData(), 0600)) == 0
                                ? 0 : 1;
                 }),
                 0);
    } else if (planted == QStringLiteral("link")) {
        QCOMPARE(::symlink(target.constData(), name.constData()), 0);
    } else {
        QCOMPARE(::mkdir(name.constData(), planted == QStringLiteral("open") ? 0755 : 0700), 0);
    }
    int sweeps = 1;
    if (planted == QStringLiteral("swapped")) {
        // The link and the folder trade places without pause while the sweeps run; each
        // sweep that finds the folder and removes it is given a new one.
        QCOMPARE(::symlink(target.constData(), decoy.constData()), 0);
        swapper = std::thread([&] {
            while (!stop)
                ::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, decoy.constData(), RENAME_EXCHANGE);
        });
        sweeps = 300;
    }
    for (int i = 0; i < sweeps; ++i) {
        const int removed = WorkFolder::removeAbandoned(dir.path());
        QCOMPARE(removed, planted == QStringLiteral("swapped") ? removed : 0);
        const QByteArray fresh = QFile::encodeName(dir.filePath(QStringLiteral("fresh")));
        if (removed == 1 && ::mkdir(fresh.constData(), 0700) == 0
            && ::renameat2(AT_FDCWD, fresh.constData(), AT_FDCWD, name.constData(), RENAME_NOREPLACE) != 0)
            QCOMPARE(::renameat2(AT_FDCWD, fresh.constData(), AT_FDCWD, decoy.constData(), RENAME_NOREPLACE), 0);
    }
    QCOMPARE(ResultSaver::removeAbandonedParts(dir.path()), 0);
    QCOMPARE(TestKit::readFile(victim + QStringLiteral("/mine")) + TestKit::readFile(victim + QStringLiteral("/sub/mine")),
             QByteArray("minemine"));
    if (planted == QStringLiteral("other user"))
        QVERIFY(QFileInfo::exists(QFile::decodeName(inside)) && QFileInfo::exists(QFile::decodeName(part)));
    else if (planted != QStringLiteral("swapped"))
        QVERIFY(QFileInfo(QFile::decodeName(name)).isSymLink() || QFileInfo(QFile::decodeName(name)).isDir());
}

QUORVANE_TEST_GUILESS_MAIN(TestWorkFolder)
#include "tst_workfolder.moc"
