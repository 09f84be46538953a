// How long the results window's spectrograms take, and what memory they need: the pictures of
// the given files are drawn one after another as the window draws them (the decoder tool on a
// pipe, reduced to COLUMNS columns), and each is timed from the request.

#include "convert/files/pathhelpers.h"
#include "preview/sonogram.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

#include <sys/resource.h>

namespace {

// The process's peak resident memory so far, in KiB.
qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: quorvane-bench-sonogram [--columns N] FILE...\n");
        return 2;
    }
    QStringList files = args;
    int columns = 520;
    if (files.first() == QStringLiteral("--columns") && files.size() > 2) {
        columns = files.at(1).toInt();
        files = files.mid(2);
    }

    const qint64 startKiB = peakResidentKiB();
    SonogramMaker maker(Paths::toolPath(QCoreApplication::applicationDirPath(), QStringLiteral("ffmpeg")));
    QElapsedTimer clock;
    int left = int(files.size());
    const auto oneDone = [&] {
        if (--left == 0)
            app.quit();
    };
    QObject::connect(&maker, &SonogramMaker::pictureReady, [&](const QString &file, const Sonogram &picture) {
        std::printf("%s: %.1f s of sound at %d Hz, ready after %lld ms; %d x %d cells; highest frequency kept %.1f kHz%s\n",
                    qPrintable(file), picture.durationMs / 1000.0, picture.sampleRate, clock.elapsed(), picture.columns,
                    picture.rows, picture.highestKeptHz / 1000.0,
                    picture.cutOff ? " (cut-off)" : "");
        oneDone();
    });
    QObject::connect(&maker, &SonogramMaker::pictureFailed, [&](const QString &file) {
        std::printf("%s: could not be decoded (after %lld ms)\n", qPrintable(file), clock.elapsed());
        oneDone();
    });
    clock.start();
    maker.request(files, columns);
    app.exec();

    std::printf("processor time: decoder %.2f s, this program %.2f s\n", cpuSeconds(RUSAGE_CHILDREN),
                cpuSeconds(RUSAGE_SELF));
    const SonogramBuilder builder(44100, columns);
    std::printf("memory: builder and picture %.2f MB; process peak grew by %.1f MB\n",
                builder.workingBytes() / 1e6, (peakResidentKiB() - startKiB) / 1024.0);
    return 0;
}
