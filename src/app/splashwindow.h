#pragma once

#include "shell/appservices.h"

#include <QPixmap>
#include <QWidget>

class QCheckBox;

class SplashWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int StripTwips = 300;
    static constexpr int CheckHeightTwips = 375;
    static constexpr int CheckLeftTwips = 120;

    explicit SplashWindow(const AppServices &services, QWidget *parent = nullptr);

    // Shows the splash when it is due and a picture can be loaded, keeps it up for its
    // time, hides it, then calls done. When it is not due, done is called at once.
    void splashShow(std::function<void()> done);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    AppServices m_services;
    QPixmap m_picture;
    QCheckBox *m_hide = nullptr;
    QSize m_twips;   // the window: the picture on top, a strip below it for the check box
};
