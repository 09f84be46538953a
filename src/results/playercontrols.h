#pragma once

#include <QLabel>
#include <QMediaPlayer>

class QSlider;
class QToolButton;
class SonogramView;

// The preview player's face. A thin view: it emits what the user asks for and shows the
// state it is given; it never touches the player itself.
class PlayerControls : public QWidget
{
    Q_OBJECT

public:
    explicit PlayerControls(QWidget *parent = nullptr);

    void setTitle(const QString &title) { m_title->setText(title); }
    void setPlaybackState(QMediaPlayer::PlaybackState state);
    void setDuration(qint64 milliseconds);
    void setPosition(qint64 milliseconds);
    void setVolume(float volume);
    // Why a file cannot be played, said quietly here: there is no dialog.
    void setErrorText(const QString &text) { m_error->setText(text); }

    // The spectrograms, shown in the middle of the face once the playing file's is ready. They
    // follow the duration and position given here and ask to seek through seekRequested.
    SonogramView *spectrum() const { return m_spectrum; }

signals:
    void playRequested();
    void pauseRequested();
    void stopRequested();
    void seekRequested(qint64 milliseconds);
    void volumeChanged(float volume);

private:
    QLabel *m_title = nullptr;
    QLabel *m_bigTime = nullptr;
    QLabel *m_elapsed = nullptr;
    QLabel *m_total = nullptr;
    QLabel *m_error = nullptr;
    QSlider *m_position = nullptr;
    QSlider *m_volume = nullptr;
    QToolButton *m_playPause = nullptr;
    QToolButton *m_stop = nullptr;
    SonogramView *m_spectrum = nullptr;
    QMediaPlayer::PlaybackState m_state = QMediaPlayer::StoppedState;
};
