#include "shell/settingsstore.h"
#include "testmain.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_file = m_dir.filePath(QStringLiteral("Quorvane.conf"));
        QFile::remove(m_file);
    }

    void valuesSurviveARestart_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("bitrate") << SettingsStore::KeyBitrate << QStringLiteral("320 kbps");
        QTest::newRow("folder with spaces") << SettingsStore::KeyOutputFolder << QStringLiteral("/home/u/My Music/");
        QTest::newRow("empty text stays empty") << SettingsStore::KeyOutputFolder << QStringLiteral("");
        QTest::newRow("non-ascii") << SettingsStore::KeyOutputFolder << QStringLiteral("/mnt/Müsik/Ünïcode/");
        QTest::newRow("show again") << SettingsStore::KeyShowAgain << QStringLiteral("1");
    }
    void valuesSurviveARestart()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        {
            SettingsStore store(m_file);
            store.write(key, value);
        }
        SettingsStore again(m_file);
        const QString read = again.read(key, QStringLiteral("<default>"));
        QCOMPARE(read, value);
        QVERIFY(!read.isNull());
    }

    void writesAreOnDiskAtOnce()
    {
        SettingsStore store(m_file);
        store.write(SettingsStore::KeyBitrate, QStringLiteral("64 kbps"));
        // The file itself, while the store is still alive: another QSettings of this process
        // would answer from Qt's cache, written or not.
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(file.readAll().contains("kbps=64 kbps"), qPrintable(m_file));
    }

    void anUnreadableStoreGivesDefaults()
    {
        QFile garbage(m_file);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("\x00\xff\xfe[[[=\n\x01", 8);
        garbage.close();
        SettingsStore store(m_file);
        QCOMPARE(store.read(SettingsStore::KeyBitrate, QStringLiteral("128 kbps")), QStringLiteral("128 kbps"));
    }

private:
    QTemporaryDir m_dir;
    QString m_file;
};

QUORVANE_TEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
