#pragma once

#include "app/shell/appservices.h"

#include <QPixmap>
#include <QWidget>

#include <functional>

class QCheckBox;

// Where the parts of the splash window go, in twips, for a picture of a given size:
// the picture on top, a strip below it for the check box, a one-line frame.
struct SplashGeometry
{
    QSize window;
    int checkTop = 0;
    int rightLineX = 0;
    int bottomLineY = 0;
};

class SplashWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int StripTwips = 300;
    static constexpr int CheckHeightTwips = 375;
    static constexpr int CheckLeftTwips = 120;

    explicit SplashWindow(const AppServices &services, QWidget *parent = nullptr);

    static SplashGeometry geometryFor(const QSize &pictureTwips);

    // Shows the splash when it is due and a picture can be loaded, keeps it up for its
    // time, hides it, then calls done. When it is not due, done is called at once.
    void splashShow(std::function<void()> done);
    void setShowMilliseconds(int milliseconds) { m_showMilliseconds = milliseconds; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    AppServices m_services;
    QPixmap m_picture;
    QCheckBox *m_hide = nullptr;
    SplashGeometry m_twips;
    int m_showMilliseconds = 4000;
};
