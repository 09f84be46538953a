#include "results/playercontrols.h"

#include "convert/engine/progressestimate.h"
#include "results/sonogramview.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QProxyStyle>
#include <QSlider>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// A press on the position bar puts the handle under the mouse, as in every media player,
// rather than stepping a page towards it.
class JumpToClickStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_Slider_AbsoluteSetButtons)
            return Qt::LeftButton;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// The whole seconds played, as every player counts them; the estimate's formatter alone would
// round to the nearest.
QString clockText(qint64 milliseconds)
{
    return ProgressEstimate::formatDuration(milliseconds / 1000 * 1000);
}

} // namespace

PlayerControls::PlayerControls(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("WindowsMediaPlayer1"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x1f, 0x26, 0x33));
    pal.setColor(QPalette::WindowText, QColor(0xe8, 0xec, 0xf2));
    setPalette(pal);

    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setWordWrap(true);
    QFont titleFont = m_title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    m_title->setFont(titleFont);

    m_bigTime = new QLabel(clockText(0), this);
    m_bigTime->setAlignment(Qt::AlignCenter);
    QFont timeFont = m_bigTime->font();
    timeFont.setPointSizeF(timeFont.pointSizeF() * 3);
    m_bigTime->setFont(timeFont);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("error"));
    m_error->setAlignment(Qt::AlignCenter);
    m_error->setWordWrap(true);
    QPalette errorPal = m_error->palette();
    errorPal.setColor(QPalette::WindowText, QColor(0xff, 0xb0, 0x70));
    m_error->setPalette(errorPal);

    m_position = new QSlider(Qt::Horizontal, this);
    m_position->setObjectName(QStringLiteral("position"));
    m_position->setRange(0, 0);
    auto *jumpStyle = new JumpToClickStyle(QApplication::style()->name());
    jumpStyle->setParent(m_position);
    m_position->setStyle(jumpStyle);
    m_elapsed = new QLabel(clockText(0), this);
    m_elapsed->setObjectName(QStringLiteral("elapsed"));
    m_total = new QLabel(clockText(0), this);
    m_total->setObjectName(QStringLiteral("total"));

    m_playPause = new QToolButton(this);
    m_playPause->setObjectName(QStringLiteral("playPause"));
    setPlaybackState(m_state);
    m_playPause->setIconSize(QSize(28, 28));
    m_stop = new QToolButton(this);
    m_stop->setObjectName(QStringLiteral("stop"));
    m_stop->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    m_stop->setToolTip(QStringLiteral("Stop"));
    m_stop->setIconSize(QSize(28, 28));

    // The picture takes the big time's room; the elapsed time stays beside the slider.
    m_spectrum = new SonogramView(this);
    connect(m_spectrum, &SonogramView::pictureShown, m_bigTime, &QWidget::setHidden);
    connect(m_spectrum, &SonogramView::seekRequested, this, &PlayerControls::seekRequested);

    auto *volumeIcon = new QLabel(this);
    volumeIcon->setPixmap(style()->standardIcon(QStyle::SP_MediaVolume).pixmap(20, 20));
    m_volume = new QSlider(Qt::Horizontal, this);
    m_volume->setObjectName(QStringLiteral("volume"));
    m_volume->setRange(0, 100);
    m_volume->setToolTip(QStringLiteral("Volume"));
    m_volume->setMaximumWidth(120);

    auto *positionRow = new QHBoxLayout;
    positionRow->addWidget(m_elapsed);
    positionRow->addWidget(m_position, 1);
    positionRow->addWidget(m_total);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addWidget(m_playPause);
    buttonRow->addWidget(m_stop);
    buttonRow->addStretch(1);
    buttonRow->addWidget(volumeIcon);
    buttonRow->addWidget(m_volume);

    auto *layout = new QVBoxLayout(this);
    layout->addStretch(2);
    layout->addWidget(m_title);
    layout->addWidget(m_bigTime);
    layout->addWidget(m_error);
    layout->addWidget(m_spectrum, 40);
    layout->addStretch(3);
    layout->addLayout(positionRow);
    layout->addLayout(buttonRow);

    connect(m_playPause, &QToolButton::clicked, this, [this] {
        if (m_state == QMediaPlayer::PlayingState)
            emit pauseRequested();
        else
            emit playRequested();
    });
    connect(m_stop, &QToolButton::clicked, this, &PlayerControls::stopRequested);
    connect(m_position, &QSlider::sliderPressed, this, [this] { emit seekRequested(m_position->sliderPosition()); });
    connect(m_position, &QSlider::sliderMoved, this, [this](int value) { emit seekRequested(value); });
    connect(m_position, &QSlider::actionTriggered, this, [this](int action) {
        // Keyboard and page steps move the slider without sliderMoved.
        if (action != QAbstractSlider::SliderMove)
            emit seekRequested(m_position->sliderPosition());
    });
    connect(m_volume, &QSlider::valueChanged, this, [this](int value) { emit volumeChanged(value / 100.0f); });
}

void PlayerControls::setPlaybackState(QMediaPlayer::PlaybackState state)
{
    m_state = state;
    const bool playing = state == QMediaPlayer::PlayingState;
    m_playPause->setIcon(style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
    m_playPause->setToolTip(playing ? QStringLiteral("Pause") : QStringLiteral("Play"));
}

void PlayerControls::setDuration(qint64 milliseconds)
{
    m_position->setRange(0, int(qMin<qint64>(milliseconds, INT_MAX)));
    m_total->setText(clockText(milliseconds));
    m_spectrum->setDuration(milliseconds);
}

void PlayerControls::setPosition(qint64 milliseconds)
{
    if (!m_position->isSliderDown())
        m_position->setValue(int(qMin<qint64>(milliseconds, INT_MAX)));
    m_elapsed->setText(clockText(milliseconds));
    m_bigTime->setText(m_elapsed->text());
    m_spectrum->setPosition(milliseconds);
}

void PlayerControls::setVolume(float volume)
{
    const QSignalBlocker blocker(m_volume);
    m_volume->setValue(qRound(volume * 100));
}
