#pragma once

#include "convert/engine/conversiontypes.h"
#include "convert/engine/loudness.h"
#include "convert/engine/replaygain.h"

#include <QHash>
#include <QList>
#include <QObject>

template <typename T>
class QFutureWatcher;

// The ReplayGain step of a batch that saves (--replaygain): each converted file is measured
// before it is saved and its frames are written into its temporary file, so that nothing ever
// rewrites a saved file. With Album, the files of one album wait, converted, until the last of
// them is measured or has dropped out, and then get the album's frames too: the temporary
// space it takes is that of the albums in flight. The session owns the files' places and their
// saving; this owns the meters and the frame writers.
class GainStep : public QObject
{
    Q_OBJECT

public:
    GainStep(ReplayGain::Mode mode, const ToolSet &tools, QObject *parent = nullptr);
    ~GainStep() override;   // kills the meters, waits for a frame writer under way

    // Before the first file: by source index, the album each belongs to (-1 for none).
    void setAlbums(const QList<int> &albumOf);
    // A converted file, at tempPath, to measure.
    void measure(int index, const QString &tempPath);
    // A file that will not be measured (it failed, or never started): its album waits for it
    // no more.
    void leave(int index);
    // Stops the meters: every file held or being measured is ready without frames, with a note.
    void cancel();

signals:
    // Measured, and held until its album is complete: it needs no place among the running.
    void held(int index);
    // The file may be saved: with its frames, or without them and a note that says why (a
    // silent file, a cancel); problem says why its frames are missing when that is a failure
    // ("its loudness could not be measured: ..."), "" otherwise.
    void ready(int index, const QString &note, const QString &problem);

private:
    struct File
    {
        QString path;
        int album = -1;
        Loudness loudness;
        bool measured = false;   // or left out
        bool held = false;
    };
    void onMeasured(int index, const Loudness &loudness, const QString &problem);
    void completeAlbumIfDone(int album);
    void write(int index, const ReplayGain::Gain &track, const std::optional<ReplayGain::Gain> &album);

    const ReplayGain::Mode m_mode;
    const ToolSet m_tools;
    QHash<int, File> m_files;               // by source index, from measure() or leave() on
    QList<QList<int>> m_albums;             // the source indices of each album
    QList<int> m_albumOf;
    QHash<int, LoudnessMeter *> m_meters;   // the files being measured
    QList<QFutureWatcher<bool> *> m_writers;
    bool m_cancelled = false;
};
