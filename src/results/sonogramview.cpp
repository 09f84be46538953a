#include "results/sonogramview.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

// Magma, a perceptually even colour map, from its values at nine even steps.
const QList<QRgb> &magma()
{
    static const QList<QRgb> table = [] {
        static const QRgb anchors[] = {0x000004, 0x1c1044, 0x4f127b, 0x812581, 0xb5367a,
                                       0xe55064, 0xfb8761, 0xfec287, 0xfcfdbf};
        constexpr int Steps = int(std::size(anchors)) - 1;
        QList<QRgb> colours;
        for (int i = 0; i < 256; ++i) {
            const double at = i / 255.0 * Steps;
            const int k = std::min(int(at), Steps - 1);
            const double t = at - k;
            const auto mix = [t](int a, int b) { return int(std::lround(a + (b - a) * t)); };
            const QRgb a = anchors[k];
            const QRgb b = anchors[k + 1];
            colours.append(qRgb(mix(qRed(a), qRed(b)), mix(qGreen(a), qGreen(b)), mix(qBlue(a), qBlue(b))));
        }
        return colours;
    }();
    return table;
}

constexpr int Gap = 4;

} // namespace

SonogramView::SonogramView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("spectrum"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setToolTip(QStringLiteral("Click to play from there"));
    hide();
}

void SonogramView::setBand(Band &band, const Sonogram &picture)
{
    band.picture = picture;
    band.scaled = QPixmap();
    band.image = QImage();
    if (picture.isNull())
        return;
    band.image = QImage(picture.columns, picture.rows, QImage::Format_Indexed8);
    band.image.setColorTable(magma());
    for (int r = 0; r < picture.rows; ++r)
        std::copy_n(picture.levels.constData() + qsizetype(r) * picture.columns, picture.columns,
                    reinterpret_cast<char *>(band.image.scanLine(r)));
}

void SonogramView::setPlayed(const Sonogram &picture)
{
    setBand(m_played, picture);
    setVisible(hasPicture());
    emit pictureShown(hasPicture());
    update();
}

void SonogramView::setSource(const Sonogram &picture)
{
    setBand(m_source, picture);
    update();
}

void SonogramView::clear()
{
    setBand(m_source, {});
    setPlayed({});
}

void SonogramView::setDuration(qint64 milliseconds)
{
    m_durationMs = milliseconds;
    update();
}

void SonogramView::setPosition(qint64 milliseconds)
{
    m_positionMs = milliseconds;
    if (hasPicture())
        update();
}

QString SonogramView::keptText() const
{
    QStringList parts;
    const auto name = [&parts](const QString &what, const Sonogram &picture) {
        const double kHz = picture.highestKeptHz / 1000.0;
        if (!picture.isNull())
            parts.append(what + QLatin1Char(' ')
                         + (kHz > 0 ? QStringLiteral("%1 kHz").arg(kHz, 0, 'f', 1) : QStringLiteral("silent")));
    };
    name(QStringLiteral("source"), m_source.picture);
    name(QStringLiteral("MP3"), m_played.picture);
    return parts.isEmpty() ? QString()
                           : QStringLiteral("Highest frequency kept: ") + parts.join(QStringLiteral(", "));
}

// One scale for both pictures, never below the compact disc's: a file that the encoder resampled
// to a lower rate shows what it lost as black, even without its source beside it.
double SonogramView::topHz() const
{
    return std::max({m_played.picture.nyquistHz(), m_source.picture.nyquistHz(), 22050.0});
}

qint64 SonogramView::duration() const
{
    return m_durationMs > 0 ? m_durationMs : m_played.picture.durationMs;
}

// The pictures leave room for the kHz marks on the right and for the text line below.
std::pair<QRect, QRect> SonogramView::layoutBands() const
{
    const QFontMetrics metrics(font());
    const QRect area = rect().adjusted(0, 0, -(metrics.horizontalAdvance(QStringLiteral("20k")) + 8),
                                       -(metrics.height() + Gap));
    if (m_source.picture.isNull())
        return {QRect(), area};
    const int sourceHeight = (area.height() - Gap) * 2 / 5;
    return {QRect(area.left(), area.top(), area.width(), sourceHeight),
            QRect(area.left(), area.top() + sourceHeight + Gap, area.width(), area.height() - sourceHeight - Gap)};
}

void SonogramView::paintBand(QPainter &painter, Band &band, const QRect &rect) const
{
    painter.fillRect(rect, QColor(magma().first()));
    const double top = topHz();
    // A file of a lower sample rate fills only the lower part of the common scale.
    const int height = int(std::lround(rect.height() * band.picture.nyquistHz() / top));
    const QRect picture(rect.left(), rect.bottom() + 1 - height, rect.width(), height);
    const qreal ratio = devicePixelRatioF();
    if (band.scaled.deviceIndependentSize() != QSizeF(picture.size()) || band.scaled.devicePixelRatio() != ratio) {
        band.scaled = QPixmap::fromImage(
            band.image.scaled(picture.size() * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        band.scaled.setDevicePixelRatio(ratio);
    }
    painter.drawPixmap(picture.topLeft(), band.scaled);

    const double step = top > 12000 ? 5000 : top > 5000 ? 2000 : 1000;
    painter.setPen(palette().color(QPalette::WindowText));
    for (double hz = step; hz < top; hz += step) {
        const int y = rect.bottom() - int(std::lround(rect.height() * hz / top));
        painter.drawLine(rect.right() + 1, y, rect.right() + 4, y);
        painter.drawText(QPoint(rect.right() + 6, y + painter.fontMetrics().ascent() / 2 - 1),
                         QStringLiteral("%1k").arg(hz / 1000));
    }
    if (band.picture.highestKeptHz > 0) {
        const int y = rect.bottom() - int(std::lround(rect.height() * band.picture.highestKeptHz / top));
        painter.setPen(QPen(QColor(0x80, 0xe0, 0xff), 1, Qt::DashLine));
        painter.drawLine(rect.left(), y, rect.right(), y);
    }
}

void SonogramView::paintLabel(QPainter &painter, const QRect &band, const QString &label) const
{
    const QFontMetrics metrics = painter.fontMetrics();
    const QRect box(band.left() + 2, band.top() + 2, metrics.horizontalAdvance(label) + 8, metrics.height());
    painter.fillRect(box, QColor(0, 0, 0, 160));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(box, Qt::AlignCenter, label);
}

void SonogramView::paintEvent(QPaintEvent *)
{
    if (!hasPicture())
        return;
    QPainter painter(this);
    const auto [source, played] = layoutBands();
    if (source.isValid())
        paintBand(painter, m_source, source);
    paintBand(painter, m_played, played);

    if (duration() > 0) {
        const int x = played.left()
            + int(std::lround(played.width() * std::clamp(double(m_positionMs) / duration(), 0.0, 1.0)));
        painter.setPen(QPen(Qt::white, 2));
        painter.drawLine(x, source.isValid() ? source.top() : played.top(), x, played.bottom());
    }
    if (source.isValid())
        paintLabel(painter, source, QStringLiteral("source"));
    paintLabel(painter, played, QStringLiteral("MP3"));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(0, played.bottom() + Gap, width(), height() - played.bottom() - Gap),
                     Qt::AlignLeft | Qt::AlignVCenter, keptText());
}

void SonogramView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        seekTo(event->position().toPoint(), true);
}

void SonogramView::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons() & Qt::LeftButton)
        seekTo(event->position().toPoint(), false);
}

// A press seeks only on a picture; a drag that started on one goes on beside them.
void SonogramView::seekTo(QPoint at, bool pressed)
{
    const auto [source, played] = layoutBands();
    if (!hasPicture() || duration() <= 0 || played.width() <= 0
        || (pressed && !played.contains(at) && !source.contains(at)))
        return;
    const double share = std::clamp(double(at.x() - played.left()) / played.width(), 0.0, 1.0);
    emit seekRequested(qint64(std::llround(share * duration())));
}
