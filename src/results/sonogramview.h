#pragma once

#include "preview/sonogram.h"

#include <QImage>
#include <QPixmap>
#include <QWidget>

// The spectrograms on the player's face: the playing file's below, the source's above, on one
// frequency scale. A line follows the position; a click or drag asks to seek there. Hidden
// while it has no picture of the playing file, so the face looks as it did.
class SonogramView : public QWidget
{
    Q_OBJECT

public:
    explicit SonogramView(QWidget *parent = nullptr);

    void setPlayed(const Sonogram &picture);
    void setSource(const Sonogram &picture);
    void clear();
    void setDuration(qint64 milliseconds);
    void setPosition(qint64 milliseconds);

    // "Highest frequency kept: source 20.5 kHz, MP3 19.6 kHz"
    QString keptText() const;

    QSize sizeHint() const override { return {400, 240}; }

signals:
    void seekRequested(qint64 milliseconds);
    void pictureShown(bool shown);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    struct Band
    {
        Sonogram picture;
        QImage image;
        QPixmap scaled;
    };

    bool hasPicture() const { return !m_played.picture.isNull(); }
    void setBand(Band &band, const Sonogram &picture);
    std::pair<QRect, QRect> layoutBands() const; // the source's (null without one), the played file's
    void paintBand(QPainter &painter, Band &band, const QRect &rect) const;
    void paintLabel(QPainter &painter, const QRect &band, const QString &label) const;
    double topHz() const;
    qint64 duration() const;
    void seekTo(QPoint at, bool pressed);

    Band m_played;
    Band m_source;
    qint64 m_durationMs = 0;
    qint64 m_positionMs = 0;
};
