#pragma once

#include "preview/sonogram.h"

#include <QImage>
#include <QPixmap>
#include <QWidget>

// The spectrograms on the player's face: the playing file's below, the source's above, of one
// height and frequency scale, with a time axis, the readout and a legend under them. A line
// follows the position; a click or drag on a picture asks to seek there. Hidden while it has
// no picture of the playing file, so the face looks as it did.
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

    // "Highest frequency kept: source 20.5 kHz, MP3 19.6 kHz", or where a file without a
    // cut-off has its sound: "No cut-off: source and MP3 have nothing above 1.0 kHz"
    QString keptText() const;

    QSize sizeHint() const override { return {400, 240}; }

signals:
    void seekRequested(qint64 milliseconds);
    void pictureShown(bool shown);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    struct Band
    {
        Sonogram picture;
        QImage image;
        QPixmap scaled;
    };

    struct Layout
    {
        QRect source; // null without a source picture
        QRect played;
        QRect readout;
        QRect legend;
    };

    bool hasPicture() const { return !m_played.picture.isNull(); }
    void setBand(Band &band, const Sonogram &picture);
    Layout layout() const;
    bool onPicture(QPoint at) const;
    void paintBand(QPainter &painter, Band &band, const QRect &rect, const QString &label) const;
    void paintTimeAxis(QPainter &painter, const QRect &played) const;
    void paintLegend(QPainter &painter, const QRect &legend) const;
    QFont smallFont() const;
    double topHz() const;
    qint64 duration() const;
    void seekTo(QPoint at);

    Band m_played;
    Band m_source;
    qint64 m_durationMs = 0;
    qint64 m_positionMs = 0;
    bool m_seeking = false; // a press on a picture, until its release
};
