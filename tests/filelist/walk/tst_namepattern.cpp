#include "filelist/walk/namepattern.h"
#include "testmain.h"

#include <QTest>

using namespace Qt::StringLiterals;

// --pattern's names from tags given as a map: no files, no tag library.
class TestNamePattern : public QObject
{
    Q_OBJECT

private slots:
    void names_data();
    void names();
};

void TestNamePattern::names_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QList<QStringList>>("sources");   // each: its file name, then "KEY=value" tags
    QTest::addColumn<QString>("existing");             // the policy
    QTest::addColumn<QStringList>("expected");         // "" for a source skipped

    const auto row = [](const char *name, const QString &pattern, const QList<QStringList> &sources,
                        const QStringList &expected, const QString &existing = u"overwrite"_s) {
        QTest::newRow(name) << pattern << sources << existing << expected;
    };
    const QStringList all{u"s.m4a"_s, u"ARTIST=Ar"_s, u"ALBUMARTIST=AA"_s, u"ALBUM=Al"_s, u"TITLE=Ti"_s, u"TRACKNUMBER=3/12"_s,
                          u"DISCNUMBER=2"_s, u"DATE=2003-05-01"_s, u"GENRE=Rock"_s};
    row("every field", u"{albumartist}/{album} {year}/{disc}.{track:02} {artist} {title} {genre} {name}"_s, {all},
        {u"AA/Al 2003/2.03 Ar Ti Rock s.mp3"_s});
    row("padding", u"{track:03} {track} {disc:02} {year:02}"_s, {{u"s.m4a"_s, u"TRACKNUMBER=007"_s, u"DISCNUMBER=12"_s, u"DATE=1999"_s}},
        {u"007 7 12 1999.mp3"_s});
    row("a number that is not one stays", u"{track:02} {year}"_s, {{u"s.m4a"_s, u"TRACKNUMBER=A1"_s, u"DATE=spring"_s}},
        {u"A1 spring.mp3"_s});
    row("missing tags", u"{albumartist}/{album}/{track:02} {disc} {year} {genre} {artist} {title}"_s, {{u"my song.m4a"_s}},
        {u"Unknown Artist/Unknown Album/Unknown Track Unknown Disc Unknown Year Unknown Genre Unknown Artist my song.mp3"_s});
    row("album artist falls back to the artist", u"{albumartist}/{title}"_s, {{u"s.m4a"_s, u"ARTIST=Ar"_s, u"ALBUMARTIST= "_s}},
        {u"Ar/s.mp3"_s});
    row("unsafe characters", u"{artist}/{album}/{title}"_s,
        {{u"s.m4a"_s, u"ARTIST=AC/DC"_s, u"ALBUM=...And \"Justice\". "_s, u"TITLE=a\\b:c*d?e<f>g|h\ti\x7fj"_s}},
        {u"AC-DC/And 'Justice'/a-b-c_d_e_f_g-h i j.mp3"_s});
    row("no way out of the folder", u"../{title}/.."_s, {{u"s.m4a"_s, u"TITLE=.."_s}}, {u"_/_/_.mp3"_s});
    row("invisible characters", u"{artist}/{album}/{title} {name}"_s, {{u"a\u202eb.m4a"_s, u"ARTIST=\u200bA\u200f\u202a\u202e\u2060\u2064\u2066\u2069\ufeffr"_s,
        u"ALBUM=\u2028\u2029"_s, u"TITLE=x\u202f\u2065\u200cz"_s}}, {u"Ar/Unknown Album/x\u202f\u2065z ab.mp3"_s});
    // As TagLib reads an MPEG-4 file's track 65535 and disc 32768.
    row("numbers are unsigned", u"{track} {disc:02}"_s, {{u"s.m4a"_s, u"TRACKNUMBER=-1/-1"_s, u"DISCNUMBER=-32768"_s}}, {u"65535 32768.mp3"_s});
    row("no home folder", u"~/{artist}/a~{album}/{title}"_s, {{u"s.m4a"_s, u"ARTIST=~root"_s, u"ALBUM=~"_s, u"TITLE= .~x"_s}}, {u"_/_root/a~~/_x.mp3"_s});
    row("device names", u"{artist}/{album}/{title}"_s, {{u"s.m4a"_s, u"ARTIST=con"_s, u"ALBUM=Aux.live"_s, u"TITLE=LPT9"_s}},
        {u"con_/Aux_.live/LPT9_.mp3"_s});
    row("names like device names", u"{artist}/{title}"_s, {{u"s.m4a"_s, u"ARTIST=CONSOLE"_s, u"TITLE=COM10"_s}},
        {u"CONSOLE/COM10.mp3"_s});
    // 255 bytes a folder; a file name keeps 12 for " (99999).mp3". No character is cut in two.
    row("255 bytes", u"{album}/{artist}/{title}"_s,
        {{u"s.m4a"_s, u"ALBUM="_s + QString(300, u'a'), u"ARTIST="_s + QString(200, u'\u00e9'),
          u"TITLE="_s + u"\U0001F600"_s.repeated(100)}},
        {QString(255, u'a') + u'/' + QString(127, u'\u00e9') + u'/'
         + u"\U0001F600"_s.repeated(60) + u".mp3"_s});
    const QList<QStringList> twins{{u"a.m4a"_s, u"TITLE=Song"_s}, {u"b.m4a"_s, u"TITLE=SONG"_s}, {u"c.m4a"_s, u"TITLE=Other"_s},
                                   {u"d.m4a"_s, u"TITLE=song"_s}};
    row("repeats, overwrite", u"{title}"_s, twins, {u"Song.mp3"_s, u"SONG (2).mp3"_s, u"Other.mp3"_s, u"song (3).mp3"_s});
    row("repeats, rename", u"{title}"_s, twins, {u"Song.mp3"_s, u"SONG (2).mp3"_s, u"Other.mp3"_s, u"song (3).mp3"_s}, u"rename"_s);
    row("repeats, skip", u"{title}"_s, twins, {u"Song.mp3"_s, u""_s, u"Other.mp3"_s, u""_s}, u"skip"_s);
    // As LibraryLayout fills in each chapter of a split book.
    row("chapters", u"{name}/{chapter:02} of {chapters} {chaptertitle}"_s,
        {{u"book.m4b"_s, u"CHAPTER=3"_s, u"CHAPTERS=12"_s, u"CHAPTERTITLE=The End: Part 1"_s}}, {u"book/03 of 12 The End- Part 1.mp3"_s});
    row("folders apart", u"{album}/{title}"_s, {{u"a.m4a"_s, u"ALBUM=X"_s, u"TITLE=S"_s}, {u"b.m4a"_s, u"ALBUM=Y"_s, u"TITLE=S"_s}},
        {u"X/S.mp3"_s, u"Y/S.mp3"_s}, u"skip"_s);
}

void TestNamePattern::names()
{
    QFETCH(QString, pattern);
    QFETCH(QList<QStringList>, sources);
    QFETCH(QString, existing);
    QFETCH(QStringList, expected);

    QVERIFY(NamePattern::problem(pattern).isEmpty());
    QStringList names;
    for (const QStringList &source : std::as_const(sources)) {
        NamePattern::Fields fields;
        for (const QString &tag : source.mid(1))
            fields[tag.section(u'=', 0, 0)].append(tag.section(u'=', 1));
        names.append(NamePattern::saveName(pattern, fields, source.constFirst()));
    }
    QCOMPARE(NamePattern::settle(names, existing == QLatin1String("skip")), expected);
}

QUORVANE_TEST_GUILESS_MAIN(TestNamePattern)
#include "tst_namepattern.moc"
