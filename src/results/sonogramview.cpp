#include "results/sonogramview.h"

#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

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
constexpr int Tick = 4;

// The dashed line at a file's cut-off, on its picture and in the legend.
QPen cutOffPen()
{
    return QPen(QColor(0x80, 0xe0, 0xff), 1, Qt::DashLine);
}

QString clockText(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

SonogramView::SonogramView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("spectrum"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setMouseTracking(true);
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
    QStringList kept;
    QList<std::pair<QString, QString>> uncut; // who, and the kHz above which it has nothing
    for (const auto &[who, picture] : {std::pair(QStringLiteral("source"), &m_source.picture),
                                       std::pair(QStringLiteral("MP3"), &m_played.picture)}) {
        if (picture->isNull())
            continue;
        const QString kHz = QString::number(picture->highestKeptHz / 1000.0, 'f', 1);
        if (picture->cutOff)
            kept.append(QStringLiteral("%1 %2 kHz").arg(who, kHz));
        else if (picture->highestKeptHz > 0)
            uncut.append({who, kHz});
        else
            kept.append(who + QStringLiteral(" silent"));
    }
    QStringList sentences;
    if (!kept.isEmpty())
        sentences.append(QStringLiteral("Highest frequency kept: ") + kept.join(QStringLiteral(", ")));
    const QString first = uncut.isEmpty() ? QString() : uncut.first().second;
    if (uncut.size() == 2 && first == uncut.last().second)
        sentences.append(QStringLiteral("No cut-off: source and MP3 have nothing above %1 kHz").arg(first));
    else if (uncut.size() == 2)
        sentences.append(QStringLiteral("No cut-off: the source has nothing above %1 kHz, the MP3 nothing above %2 kHz")
                             .arg(first, uncut.last().second));
    else if (!uncut.isEmpty())
        sentences.append(QStringLiteral("No cut-off: the %1 has nothing above %2 kHz").arg(uncut.first().first, first));
    return sentences.join(QStringLiteral(". "));
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

// The axes and the legend in a lighter, smaller type than the readout.
QFont SonogramView::smallFont() const
{
    QFont small = font();
    small.setBold(false);
    small.setPointSizeF(small.pointSizeF() * 0.9);
    return small;
}

// From the top: the pictures, of one height, with the kHz marks on their right; the time axis;
// the readout (two lines where one is too short); the legend.
SonogramView::Layout SonogramView::layout() const
{
    const QFontMetrics small(smallFont());
    const int axis = small.horizontalAdvance(QStringLiteral("20 kHz")) + Tick + 4;
    const int readout = fontMetrics()
                            .boundingRect(QRect(0, 0, width(), height()), Qt::TextWordWrap, keptText())
                            .height();
    Layout parts;
    parts.legend = QRect(0, height() - small.height(), width(), small.height());
    parts.readout = QRect(0, parts.legend.top() - Gap - readout, width(), readout);
    const int bottom = parts.readout.top() - Gap - Tick - small.height();
    const int panels = m_source.picture.isNull() ? 1 : 2;
    const int panel = (bottom - (panels - 1) * Gap) / panels;
    parts.played = QRect(0, bottom - panel, width() - axis, panel);
    if (panels == 2)
        parts.source = parts.played.translated(0, -(panel + Gap));
    return parts;
}

bool SonogramView::onPicture(QPoint at) const
{
    const Layout parts = layout();
    return hasPicture() && (parts.played.contains(at) || parts.source.contains(at));
}

void SonogramView::paintBand(QPainter &painter, Band &band, const QRect &rect, const QString &label) const
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

    // The marks in kHz, the unit beside the highest.
    const double step = top > 12000 ? 5000 : top > 5000 ? 2000 : 1000;
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(smallFont());
    for (double hz = step; hz < top; hz += step) {
        const int y = rect.bottom() - int(std::lround(rect.height() * hz / top));
        painter.drawLine(rect.right() + 1, y, rect.right() + Tick, y);
        painter.drawText(QPoint(rect.right() + Tick + 3, y + painter.fontMetrics().ascent() / 2 - 1),
                         QString::number(hz / 1000) + (hz + step < top ? QString() : QStringLiteral(" kHz")));
    }
    if (band.picture.cutOff) {
        const int y = rect.bottom() - int(std::lround(rect.height() * band.picture.highestKeptHz / top));
        painter.setPen(cutOffPen());
        painter.drawLine(rect.left(), y, rect.right(), y);
    }

    painter.setFont(font());
    const QRect box(rect.left() + 2, rect.top() + 2, painter.fontMetrics().horizontalAdvance(label) + 8,
                    painter.fontMetrics().height());
    painter.fillRect(box, QColor(0, 0, 0, 160));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(box, Qt::AlignCenter, label);
}

// Marks in minutes and seconds, as far apart as their labels need.
void SonogramView::paintTimeAxis(QPainter &painter, const QRect &played) const
{
    const qint64 length = duration();
    if (length <= 0)
        return;
    painter.setFont(smallFont());
    const QFontMetrics metrics = painter.fontMetrics();
    const double perSecond = played.width() * 1000.0 / length;
    qint64 step = 3600;
    for (const qint64 seconds : {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800}) {
        if (seconds * perSecond >= metrics.horizontalAdvance(clockText(length / 1000)) + 16) {
            step = seconds;
            break;
        }
    }
    for (qint64 at = 0; at * 1000 <= length; at += step) {
        const int x = played.left() + int(std::lround(at * perSecond));
        painter.drawLine(x, played.bottom() + 1, x, played.bottom() + Tick);
        const QString text = clockText(at);
        const int textWidth = metrics.horizontalAdvance(text);
        const int left = std::clamp(x - textWidth / 2, 0, width() - textWidth);
        painter.drawText(QPoint(left, played.bottom() + Tick + metrics.ascent()), text);
    }
}

// The colour scale in dB, then what the dashed line marks, where one is drawn.
void SonogramView::paintLegend(QPainter &painter, const QRect &legend) const
{
    painter.setFont(smallFont());
    const QFontMetrics metrics = painter.fontMetrics();
    const int baseline = legend.top() + metrics.ascent();
    const QString low = QString::number(Sonogram::FloorDb);
    painter.drawText(QPoint(legend.left(), baseline), low);
    const QRect bar(legend.left() + metrics.horizontalAdvance(low) + Gap, legend.top() + 2, 72, metrics.height() - 4);
    QLinearGradient gradient(bar.topLeft(), bar.topRight());
    for (int i = 0; i <= 8; ++i)
        gradient.setColorAt(i / 8.0, QColor(magma().at(i * 255 / 8)));
    painter.fillRect(bar, gradient);
    painter.drawText(QPoint(bar.right() + 1 + Gap, baseline),
                     QString::number(Sonogram::CeilingDb) + QStringLiteral(" dB"));

    if (!m_played.picture.cutOff && !m_source.picture.cutOff)
        return;
    const QString dashed = QStringLiteral("cut-off: each file keeps nothing above it");
    const int right = legend.right() - metrics.horizontalAdvance(dashed);
    painter.drawText(QPoint(right, baseline), dashed);
    painter.setPen(cutOffPen());
    const int y = legend.top() + metrics.height() / 2;
    painter.drawLine(right - Gap - 20, y, right - Gap, y);
}

void SonogramView::paintEvent(QPaintEvent *)
{
    if (!hasPicture())
        return;
    QPainter painter(this);
    const Layout parts = layout();
    if (parts.source.isValid())
        paintBand(painter, m_source, parts.source, QStringLiteral("source"));
    paintBand(painter, m_played, parts.played, QStringLiteral("MP3"));

    if (duration() > 0) {
        const int x = parts.played.left()
            + int(std::lround(parts.played.width() * std::clamp(double(m_positionMs) / duration(), 0.0, 1.0)));
        painter.setPen(QPen(Qt::white, 2));
        painter.drawLine(x, parts.source.isValid() ? parts.source.top() : parts.played.top(), x, parts.played.bottom());
    }
    painter.setPen(palette().color(QPalette::WindowText));
    paintTimeAxis(painter, parts.played);
    painter.setFont(font());
    painter.drawText(parts.readout, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, keptText());
    paintLegend(painter, parts.legend);
}

// Only the pictures answer a click, so only they offer it.
bool SonogramView::event(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    const auto *help = static_cast<QHelpEvent *>(event);
    if (onPicture(help->pos()))
        QToolTip::showText(help->globalPos(), QStringLiteral("Click to play from there"), this);
    else
        QToolTip::hideText();
    return true;
}

// A press seeks only on a picture; a drag that started on one goes on beside them.
void SonogramView::mousePressEvent(QMouseEvent *event)
{
    m_seeking = event->button() == Qt::LeftButton && onPicture(event->position().toPoint());
    if (m_seeking)
        seekTo(event->position().toPoint());
}

void SonogramView::mouseMoveEvent(QMouseEvent *event)
{
    if (onPicture(event->position().toPoint()))
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    if (m_seeking && (event->buttons() & Qt::LeftButton))
        seekTo(event->position().toPoint());
}

void SonogramView::mouseReleaseEvent(QMouseEvent *)
{
    m_seeking = false;
}

void SonogramView::seekTo(QPoint at)
{
    const QRect played = layout().played;
    if (duration() <= 0 || played.width() <= 0)
        return;
    const double share = std::clamp(double(at.x() - played.left()) / played.width(), 0.0, 1.0);
    emit seekRequested(qint64(std::llround(share * duration())));
}
