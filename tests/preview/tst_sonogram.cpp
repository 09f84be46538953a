#include "testkit.h"
#include "testmain.h"

#include "convert/engine/toolcommands.h"
#include "convert/files/pathhelpers.h"
#include "convert/scripttools.h"
#include "preview/sonogram.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace ScriptTools;

class TestSonogram : public QObject
{
    Q_OBJECT

private slots:
    // Where a source and the real encoder's MP3 of it end: at a low-pass edge (cutOff), or, with
    // none, where their sound ends. The encoder's own edges are where its verbose output puts
    // them (the start of its transition band); at 64 kbps it also resamples to 24 kHz. Every
    // picture is of the 2 s at the rate the decoder is asked for, whatever the file's own.
    void whereTheSoundEnds_data()
    {
        QTest::addColumn<QString>("source");   // a filter of ffmpeg's; none: the test kit's music
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<double>("sourceKHz");
        QTest::addColumn<bool>("sourceCutOff");
        QTest::addColumn<double>("mp3KHz");
        QTest::addColumn<bool>("mp3CutOff");
        const QString noise = QStringLiteral("anoisesrc=d=2:c=pink:a=0.5:r=44100:seed=1");
        const QString tone = QStringLiteral("sine=f=1000:d=2:r=44100");
        QTest::newRow("1 kHz tone") << tone << 128 << 1.0 << false << 1.0 << false;
        QTest::newRow("1 kHz tone at 22.05 kHz") << QStringLiteral("sine=f=1000:d=2:r=22050") << 128 << 1.0 << false << 1.0 << false;
        QTest::newRow("1 kHz tone at -77 dBFS") << tone + QStringLiteral(",volume=-59dB") << 128 << 1.0 << false << 1.0 << false;
        QTest::newRow("pink noise low-passed at 16 kHz")
            << noise + QStringLiteral(",firequalizer=gain='if(lt(f,16000),0,-200)'") << 320 << 16.0 << true << 16.0 << true;
        QTest::newRow("music at 320 kbps") << QString() << 320 << 22.0 << true << 20.1 << true;
        QTest::newRow("music at 128 kbps") << QString() << 128 << 22.0 << true << 16.5 << true;
        QTest::newRow("music at 64 kbps") << QString() << 64 << 22.0 << true << 10.9 << true;
    }
    void whereTheSoundEnds()
    {
        QFETCH(QString, source);
        QFETCH(int, bitrate);
        QTemporaryDir dir;
        const QString appFolder = qEnvironmentVariable("QUORVANE_APP_DIR");
        const QString ffmpeg = Paths::toolPath(appFolder, QStringLiteral("ffmpeg"));
        const QString wav = dir.filePath(QStringLiteral("source.wav"));
        const QString mp3 = dir.filePath(QStringLiteral("source.mp3"));
        const QStringList music = TestKit::musicOptions({44100, 2, 2}) << QStringLiteral("-c:a") << QStringLiteral("pcm_s16le");
        QVERIFY(TestKit::makeSource(ffmpeg, wav, source.isEmpty() ? music : QStringList{QStringLiteral("-f"), QStringLiteral("lavfi"),
                                                  QStringLiteral("-i"), source, QStringLiteral("-ac"), QStringLiteral("2")}));
        QVERIFY(TestKit::runQuietly(Paths::toolPath(appFolder, QStringLiteral("lame")),
                                    Tools::encoderArguments(Tools::Encoding{bitrate}, wav, mp3)));
        SonogramMaker maker(ffmpeg);
        QSignalSpy ready(&maker, &SonogramMaker::pictureReady);
        maker.request({wav, mp3}, 100);
        while (ready.size() < 2)
            QVERIFY(ready.wait(20000));
        const auto seen = [&](int i) { return ready.at(i).at(1).value<Sonogram>(); };
        const auto expected = [](const Sonogram &picture, double kHz, bool cutOff) {
            return picture.cutOff == cutOff && qAbs(picture.highestKeptHz / 1000 - kHz) <= 0.3
                && picture.sampleRate == SonogramMaker::SampleRate && qAbs(picture.durationMs - 2000) <= 100;
        };
        const QString answers = QStringLiteral("source %1 kHz (cut-off %2) %5 ms, MP3 %3 kHz (cut-off %4) %6 ms")
                                    .arg(seen(0).highestKeptHz / 1000).arg(seen(0).cutOff)
                                    .arg(seen(1).highestKeptHz / 1000).arg(seen(1).cutOff)
                                    .arg(seen(0).durationMs).arg(seen(1).durationMs);
        QFETCH(double, sourceKHz);
        QFETCH(bool, sourceCutOff);
        QFETCH(double, mp3KHz);
        QFETCH(bool, mp3CutOff);
        QVERIFY2(expected(seen(0), sourceKHz, sourceCutOff) && expected(seen(1), mp3KHz, mp3CutOff), qPrintable(answers));
    }

    // A drawing that is no longer wanted ends its decoder at once, even one that writes nothing,
    // and reports nothing; a decoder that writes nothing for the stall timeout is ended too, and
    // its file gets no picture.
    void anUnwantedDrawingEndsItsDecoder_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("a new request") << QStringLiteral("superseded");
        QTest::newRow("the maker goes") << QStringLiteral("gone");
        QTest::newRow("quiet past the stall timeout") << QStringLiteral("stalled");
    }
    void anUnwantedDrawingEndsItsDecoder()
    {
        QFETCH(QString, end);
        const bool superseded = end == QStringLiteral("superseded");
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("pid"));
        const QString decoder = writeScript(dir.path(), QStringLiteral("decoder"),
                                            QStringLiteral("case \"$4\" in *stalls*) echo $$ > %1; exec sleep 60;; esac\n"
                                                           "exit 1").arg(shellQuoted(pidFile)));
        auto maker = std::make_unique<SonogramMaker>(decoder, end == QStringLiteral("stalled") ? 1 : 0);
        QSignalSpy failed(maker.get(), &SonogramMaker::pictureFailed);
        maker->request({QStringLiteral("stalls.m4a")}, 100);
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 20000);
        if (end == QStringLiteral("stalled")) {
            QVERIFY(failed.wait(20000));
            QCOMPARE(failed.first().first().toString(), QStringLiteral("stalls.m4a"));
            QTRY_VERIFY_WITH_TIMEOUT(!processExists(readPid(pidFile)), 20000);
        } else if (superseded) {
            maker->request({QStringLiteral("next.m4a")}, 100);
            QVERIFY(failed.wait(20000));
            QCOMPARE(failed.first().first().toString(), QStringLiteral("next.m4a"));
            QTRY_VERIFY_WITH_TIMEOUT(!processExists(readPid(pidFile)), 20000);
        } else {
            maker.reset();
            QVERIFY(!processExists(readPid(pidFile)));
        }
    }
};

QUORVANE_TEST_GUILESS_MAIN(TestSonogram)
#include "tst_sonogram.moc"
