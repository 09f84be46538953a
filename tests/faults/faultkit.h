#pragma once

// Shared by the fault tests (inputs, tools, folders): the real tools found beside the built
// program, short generated sources, a private copy of the program's folder so that anything
// left in it is seen, runs of the engine in-process and of quorvane-cli as a process, and the
// conditions a fault needs on a machine where the tests run as root (an immutable folder, a
// small file system) with a plain answer when the machine cannot provide one.

#include "convert/batchsession.h"
#include "convert/files/workfolder.h"
#include "convert/scripttools.h"
#include "testkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>

namespace FaultKit {

using ScriptTools::processExists;
using ScriptTools::readPid;
using ScriptTools::shellQuoted;
using ScriptTools::writeScript;
using TestKit::entries;
using TestKit::makeSource;
using TestKit::Probe;
using TestKit::probe;
using TestKit::readFile;
using TestKit::runQuietly;
using TestKit::toneOptions;
using TestKit::writeFile;

// Everything the tests need from outside; `missing` says what is not there.
struct Machine
{
    QString appDir;     // the built programs with their tool links
    QString cli;        // the built quorvane-cli
    QString ffmpeg;     // the real tools, links resolved
    QString lame;
    QString ffprobe;
    QString missing;
};

inline Machine findMachine()
{
    Machine machine;
    machine.appDir = qEnvironmentVariable("QUORVANE_APP_DIR");
    if (machine.appDir.isEmpty()) {
        machine.missing = QStringLiteral("QUORVANE_APP_DIR (set by ctest)");
        return machine;
    }
    const QDir app(machine.appDir);
    machine.cli = app.filePath(QStringLiteral("quorvane-cli"));
    machine.ffmpeg = QFileInfo(app.filePath(QStringLiteral("ffmpeg"))).canonicalFilePath();
    machine.lame = QFileInfo(app.filePath(QStringLiteral("lame"))).canonicalFilePath();
    machine.ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    if (!QFileInfo(machine.cli).isExecutable())
        machine.missing = QStringLiteral("the built quorvane-cli");
    else if (machine.ffmpeg.isEmpty() || machine.lame.isEmpty() || machine.ffprobe.isEmpty())
        machine.missing = QStringLiteral("ffmpeg, ffprobe and lame");
    return machine;
}

// A folder laid out like an installed program's: a copy of quorvane-cli (it finds its tools
// beside its own file, links resolved) and the two tools. A tool given as "" is the real one
// (a link); anything else is the body of a stand-in shell script.
inline QString makeAppFolder(const Machine &machine, const QString &folder, const QString &decoderScript = {},
                             const QString &encoderScript = {})
{
    if (!QDir().mkpath(folder) || !QFile::copy(machine.cli, QDir(folder).filePath(QStringLiteral("quorvane-cli"))))
        return {};
    // The tools' keeper, where the build has one, as in an installed copy.
    const QString keeper = QFileInfo(machine.cli).dir().filePath(QStringLiteral("quorvane-toolkeeper"));
    if (QFileInfo::exists(keeper) && !QFile::copy(keeper, QDir(folder).filePath(QStringLiteral("quorvane-toolkeeper"))))
        return {};
    const auto place = [&](const QString &name, const QString &real, const QString &script) {
        if (script.isEmpty())
            return QFile::link(real, QDir(folder).filePath(name));
        return !writeScript(folder, name, script).isEmpty();
    };
    if (!place(QStringLiteral("ffmpeg"), machine.ffmpeg, decoderScript)
        || !place(QStringLiteral("lame"), machine.lame, encoderScript))
        return {};
    return QDir(folder).filePath(QStringLiteral("quorvane-cli"));
}

struct CliRun
{
    bool finished = false;   // ended by itself with a normal exit
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs quorvane-cli to its end with TMPDIR pointed at tempFolder (as given: a folder that does
// not exist is passed on as such).
inline CliRun runCli(const QString &program, const QStringList &arguments, const QString &workFolder,
                     const QString &tempFolder)
{
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tempFolder);
    cli.setProcessEnvironment(environment);
    cli.setWorkingDirectory(workFolder);
    cli.setStandardInputFile(QProcess::nullDevice());
    cli.start(program, arguments);
    CliRun result;
    result.finished = cli.waitForFinished(90000) && cli.exitStatus() == QProcess::NormalExit;
    if (!result.finished) {
        cli.kill();
        cli.waitForFinished(5000);
    }
    result.exitCode = cli.exitCode();
    result.out = QString::fromLocal8Bit(cli.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(cli.readAllStandardError());
    return result;
}

// Deletes the converted files' temporary files, as the receiver of a batch does when it lets
// them go; true when each was there.
inline bool releaseConverted(const QList<FileResult> &results)
{
    bool all = true;
    for (const FileResult &result : results) {
        if (result.isConverted())
            all = QFile::remove(result.tempPath) && all;
        WorkFolder::discardTempMp3(result.tempPath);
    }
    return all;
}

// Folders where files are created and removed even by root are closed with the immutable
// attribute (chattr +i); root's permission bits are no obstacle. Lifted again on destruction,
// so that the test's temporary folder can be removed.
class ImmutableFolder
{
public:
    explicit ImmutableFolder(const QString &folder)
        : m_folder(folder)
    {
        const QString chattr = QStandardPaths::findExecutable(QStringLiteral("chattr"));
        if (chattr.isEmpty()) {
            m_problem = QStringLiteral("chattr (e2fsprogs) is not installed");
            return;
        }
        QProcess tool;
        tool.start(chattr, {QStringLiteral("+i"), folder});
        if (!tool.waitForFinished(10000) || tool.exitCode() != 0) {
            m_problem = QStringLiteral("this file system does not take the immutable attribute: ")
                        + QString::fromLocal8Bit(tool.readAllStandardError()).trimmed();
            return;
        }
        m_set = true;
        // The attribute may be there and still not stop us (a file system that ignores it).
        QFile probe(QDir(folder).filePath(QStringLiteral("probe")));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.close();
            lift();
            QFile::remove(probe.fileName());
            m_problem = QStringLiteral("the immutable attribute does not stop writing here");
        }
    }
    ~ImmutableFolder() { lift(); }
    ImmutableFolder(const ImmutableFolder &) = delete;
    ImmutableFolder &operator=(const ImmutableFolder &) = delete;

    QString problem() const { return m_problem; }   // "" when the folder is closed

    void lift()
    {
        if (!m_set)
            return;
        QProcess tool;
        tool.start(QStandardPaths::findExecutable(QStringLiteral("chattr")), {QStringLiteral("-i"), m_folder});
        tool.waitForFinished(10000);
        m_set = false;
    }

private:
    QString m_folder;
    QString m_problem;
    bool m_set = false;
};

// A small file system (tmpfs) mounted on folder, to fill up; unmounted on destruction.
// Mounting needs privileges a container may not grant.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString &folder, int kilobytes)
        : m_folder(folder)
    {
#ifndef Q_OS_LINUX
        m_problem = QStringLiteral("a tmpfs mount needs Linux");
#else
        QProcess tool;
        tool.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                             QStringLiteral("size=%1k").arg(kilobytes), QStringLiteral("none"), folder});
        if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
            m_problem = QStringLiteral("cannot mount a small tmpfs here: ")
                        + QString::fromLocal8Bit(tool.readAllStandardError()).trimmed();
            return;
        }
        m_mounted = true;
#endif
    }
    ~SmallFileSystem()
    {
        if (!m_mounted)
            return;
        QProcess tool;
        tool.start(QStringLiteral("umount"), {m_folder});
        tool.waitForFinished(10000);
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    QString problem() const { return m_problem; }

private:
    QString m_folder;
    QString m_problem;
    bool m_mounted = false;
};

// Fills the file system that holds folder with a file until no byte more fits, leaving
// `room` bytes free by shrinking it again; true when it did.
inline bool fillUp(const QString &path, qint64 room)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(4096, 'x');
    while (file.write(block) == block.size() && file.flush()) {
    }
    file.close();
    const qint64 size = QFileInfo(path).size();
    return QFile::resize(path, qMax<qint64>(0, size - room));
}

} // namespace FaultKit
