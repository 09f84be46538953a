#pragma once

#include <QString>

#include <functional>

class MainWindow;

// The program's start-up around the main window, run once before it is first shown: the
// skin, centring, caption and hand pointer, the home-page chance, the splash, and once the
// splash has gone the list's column and the bitrates with the stored pick. The window only
// lays itself out; when and with what it starts is decided here.
class StartUp
{
public:
    static inline const QString HomePageUrl = QStringLiteral("https://www.harrowmede.com/quorvane/");
    static constexpr int HomePageLuckyNumber = 7;

    // ready is called when the sequence has run to its end, after the splash (at once without one).
    static void run(MainWindow *window, std::function<void()> ready = {});

private:
    static void afterSplash(MainWindow *window);
};
