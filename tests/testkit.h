#pragma once

// Small helpers that many tests need: files in and out, running a real tool quietly, short
// generated sources, what ffprobe says of a file, and a batch run to its end. Header-only.

#include "convert/batchsession.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#ifdef QT_WIDGETS_LIB
#include <QAbstractItemView>
#endif

#include <functional>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace TestKit {

#ifdef Q_OS_UNIX
// A second local user: an id no account uses. Tests that play one run as root (CI does) and
// skip otherwise.
constexpr uid_t kOtherUser = 65534;
#define QUORVANE_SKIP_UNLESS_ROOT()                                                          \
    do {                                                                                     \
        if (::geteuid() != 0)                                                                \
            QSKIP("playing a second local user needs root, to take on another user's id"); \
    } while (false)

// Runs act as the other user in a forked child; its id, for waitForChild(). act makes only
// system calls: the child of a program with threads may not allocate.
inline pid_t startAsOtherUser(const std::function<int()> &act)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0)
            ::_exit(125);
        ::_exit(act());
    }
    return child;
}

// The child's exit status, or 128 + the signal that ended it.
inline int waitForChild(pid_t child)
{
    int status = 0;
    if (child <= 0 || ::waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline int asOtherUser(const std::function<int()> &act)
{
    return waitForChild(startAsOtherUser(act));
}

// A FIFO that nothing writes into: whatever opens it to read waits for ever.
inline bool makeFifo(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}
#endif

inline SessionSetup withSources(SessionSetup setup, const QStringList &sources)
{
    setup.sources = sources;
    return setup;
}

// Runs a batch of sources to its end; false when it did not finish in time. The converted
// files stay for the test to look at until it deletes them or runs the next batch.
inline bool runBatch(const QStringList &sources, SessionSetup setup, QList<FileResult> *results)
{
    static std::unique_ptr<ResultSet> kept;
    setup.sources = sources;
    BatchSession batch(setup);
    QSignalSpy finished(&batch, &BatchSession::finished);
    if (!batch.start().isEmpty() || !finished.wait(90000))
        return false;
    *results = finished.at(0).at(0).value<BatchOutcome>().files;
    kept.reset(batch.takeResults());
    return !finished.at(0).at(0).value<BatchOutcome>().cancelled;
}

// A batch's records with source i converted into temps[i] and named names[i]; sources past
// those given are names of files that do not exist.
inline ResultSet *convertedSet(const QStringList &names, const QStringList &temps, QStringList sources = {})
{
    for (qsizetype i = sources.size(); i < names.size(); ++i)
        sources.append(QStringLiteral("source %1.m4a").arg(i));
    auto *set = new ResultSet(sources);
    for (int i = 0; i < names.size(); ++i) {
        FileResult file = set->at(i);
        file.status = FileStatus::Converted;
        file.reason.clear();
        file.tempPath = temps.at(i);
        set->record(file);
    }
    set->name(names);
    return set;
}

#ifdef QT_WIDGETS_LIB
// What a window's list shows, row by row, and on hover.
inline QStringList rows(const QWidget *window, int role = Qt::DisplayRole)
{
    QStringList texts;
    const QAbstractItemModel *model = window->findChild<QAbstractItemView *>(QStringLiteral("ListView1"))->model();
    for (int row = 0; row < model->rowCount(); ++row)
        texts.append(model->index(row, 0).data(role).toString());
    return texts;
}

// The temporary files of the converted files a window shows: those of the set it took last.
inline QStringList convertedFiles(const QWidget *window)
{
    QStringList files;
    const auto sets = window->findChildren<ResultSet *>(Qt::FindDirectChildrenOnly);
    for (int i = 0; !sets.isEmpty() && i < sets.last()->count(); ++i) {
        if (sets.last()->at(i).isConverted())
            files.append(sets.last()->at(i).tempPath);
    }
    return files;
}
#endif

// Every entry of folder, hidden ones included, by name.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// The id of a process that has ended and been reaped: no process has it (until the system
// hands it out again, which takes a full round of process ids).
// Whether this Windows program runs under wine, whose media playback needs the machine's sound
// card: tests that play skip there, as they would on a machine without one.
inline bool underWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

inline qint64 goneProcessId()
{
    QProcess ended;
#ifdef Q_OS_WIN
    ended.start(QStringLiteral("cmd.exe"), {QStringLiteral("/c"), QStringLiteral("exit")});
#else
    ended.start(QStringLiteral("true"), {});
#endif
    const qint64 pid = ended.waitForStarted() ? ended.processId() : 0;
    ended.waitForFinished();
    return pid;
}

// What a temporary folder holds for the tests, with the program's own folder in it looked
// into: that folder's entries stand in its place (it lives as long as the program).
inline QStringList tempEntries(const QString &folder)
{
    QStringList all;
    for (const QString &name : entries(folder)) {
        const QFileInfo entry(QDir(folder).filePath(name));
        all += name.startsWith(QStringLiteral("quorvane-")) && entry.isDir() && !entry.isSymLink() ? entries(entry.filePath())
                                                                                                   : QStringList{name};
    }
    all.sort();
    return all;
}

// A temporary MP3 file's name: "zurvek", eight digits 1 to 9, ".mp3".
inline bool isTempMp3Name(const QString &fileName)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("zurvek[1-9]{8}\\.mp3")));
    return pattern.match(fileName).hasMatch();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(data) == data.size();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    tool.setStandardInputFile(QProcess::nullDevice());
    tool.setStandardOutputFile(QProcess::nullDevice());
    tool.start(program, arguments);
    return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// Writes a short source with the real ffmpeg: lavfi inputs and codec options, then the path.
inline bool makeSource(const QString &ffmpeg, const QString &path, const QStringList &options)
{
    QStringList arguments{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y")};
    arguments << options << path;
    return QDir().mkpath(QFileInfo(path).path()) && runQuietly(ffmpeg, arguments);
}

// Music-like sound, where the sound's content matters (VBR rates, lengths, gain, spectra): pink
// noise under a chord, short clicks four times a second, and the two channels different (their
// own noise, chord and click times). A bare sine tone hides what music shows, such as a VBR
// average that falls between two constant rates.
struct Music
{
    int rate = 44100;
    int channels = 2;                        // 1 or 2
    double seconds = 3;
    QString codec = QStringLiteral("aac");   // "aac" or "alac"; "libmp3lame" for an MP3
};

// ffmpeg's options that make music as an MPEG-4 file's audio; the path goes after them.
inline QStringList musicOptions(const Music &music = {})
{
    const QString rate = QString::number(music.rate);
    const QString length = QString::number(music.seconds);
    // One channel: its noise (seeded, so every run makes the same file), a chord of three
    // tones and a click that dies away within a tenth of a second.
    const auto channel = [&](const QString &name, int seed, const QList<int> &chord, const QString &clickDelayMs) {
        QString graph = QStringLiteral("anoisesrc=c=pink:r=%1:a=0.2:d=%2:seed=%3[%4n];").arg(rate, length).arg(seed).arg(name);
        QString inputs = QStringLiteral("[%1n]").arg(name);
        for (int i = 0; i < chord.size(); ++i) {
            graph += QStringLiteral("sine=f=%1:r=%2:d=%3,volume=0.12[%4t%5];").arg(chord.at(i)).arg(rate, length, name).arg(i);
            inputs += QStringLiteral("[%1t%2]").arg(name).arg(i);
        }
        graph += QStringLiteral("aevalsrc=exprs='0.5*sin(2*PI*2500*t)*exp(-50*mod(t\\,0.25))':s=%1:d=%2,adelay=%3[%4c];")
                     .arg(rate, length, clickDelayMs, name);
        inputs += QStringLiteral("[%1c]").arg(name);
        return graph + QStringLiteral("%1amix=inputs=%2:normalize=0:duration=first[%3];").arg(inputs).arg(chord.size() + 2).arg(name);
    };
    QString graph = channel(QStringLiteral("l"), 7, {220, 277, 330}, QStringLiteral("0"));
    if (music.channels == 2)
        graph += channel(QStringLiteral("r"), 11, {247, 311, 370}, QStringLiteral("90")) + QStringLiteral("[l][r]join=inputs=2:channel_layout=stereo[out]");
    else
        graph += QStringLiteral("[l]anull[out]");
    return {QStringLiteral("-filter_complex"), graph, QStringLiteral("-map"), QStringLiteral("[out]"),
            QStringLiteral("-c:a"), music.codec};
}

// Music as above in an MPEG-4 file, with extra options (tags, a cover's inputs) before the path.
inline bool makeMusic(const QString &ffmpeg, const QString &path, const Music &music = {}, const QStringList &extra = {})
{
    return makeSource(ffmpeg, path, musicOptions(music) + extra);
}

// A bare sine tone of the given length as AAC in an MPEG-4 file, for a test that needs one
// known frequency.
inline QStringList toneOptions(int seconds = 1, int channels = 2)
{
    return {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("sine=frequency=440:duration=%1").arg(seconds),
            QStringLiteral("-ac"), QString::number(channels), QStringLiteral("-c:a"), QStringLiteral("aac")};
}

// A tone as above, with its header (and so its whole length) in front when headerFirst: a file
// cut short then still states the length it should have.
inline bool makeTone(const QString &ffmpeg, const QString &path, int seconds, bool headerFirst = false)
{
    QStringList options = toneOptions(seconds);
    if (headerFirst)
        options << QStringLiteral("-movflags") << QStringLiteral("+faststart");
    return makeSource(ffmpeg, path, options);
}

struct Probe
{
    QString format;         // the container, e.g. "mp3"
    QString codec;          // of the first audio stream; empty when none could be read
    int channels = 0;
    int sampleRate = 0;
    int bitRate = 0;
    double duration = 0.0;
};

inline Probe probe(const QString &ffprobe, const QString &path)
{
    QProcess tool;
    tool.setStandardInputFile(QProcess::nullDevice());
    tool.start(ffprobe, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                         QStringLiteral("a:0"), QStringLiteral("-show_entries"),
                         QStringLiteral("stream=codec_name,channels,sample_rate,bit_rate:format=format_name,duration"),
                         QStringLiteral("-of"), QStringLiteral("default=noprint_wrappers=1"), path});
    Probe info;
    if (!tool.waitForFinished(30000))
        return info;
    for (const QByteArray &line : tool.readAllStandardOutput().split('\n')) {
        const QString text = QString::fromUtf8(line.trimmed());
        const qsizetype equals = text.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = text.left(equals);
        const QString value = text.mid(equals + 1);
        if (key == QStringLiteral("format_name"))
            info.format = value;
        else if (key == QStringLiteral("codec_name"))
            info.codec = value;
        else if (key == QStringLiteral("channels"))
            info.channels = value.toInt();
        else if (key == QStringLiteral("sample_rate"))
            info.sampleRate = value.toInt();
        else if (key == QStringLiteral("bit_rate"))
            info.bitRate = value.toInt();
        else if (key == QStringLiteral("duration"))
            info.duration = value.toDouble();
    }
    return info;
}

// The chapters ffprobe finds in a file, as its JSON lists them (start_time, end_time, tags);
// undefined when ffprobe gave no list.
inline QJsonValue chapters(const QString &ffprobe, const QString &path)
{
    QProcess tool;
    tool.setStandardInputFile(QProcess::nullDevice());
    tool.start(ffprobe, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_chapters"),
                         QStringLiteral("-of"), QStringLiteral("json"), path});
    if (!tool.waitForFinished(30000))
        return QJsonValue::Undefined;
    return QJsonDocument::fromJson(tool.readAllStandardOutput()).object().value(QStringLiteral("chapters"));
}

} // namespace TestKit
