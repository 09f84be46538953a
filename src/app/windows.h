#pragma once

#include "shell/appservices.h"

#include <QObject>

#include <functional>
#include <memory>

class MainWindow;
class ResultsWindow;

// The program's two windows, how they start and how they hand over to each other: the
// main window's converted files go to the results window, "< Back" returns. main() and
// the tests build the windows through this, and neither window knows the other.
class Windows : public QObject
{
    Q_OBJECT

public:
    static inline const QString HomePageUrl = QStringLiteral("https://www.harrowmede.com/quorvane/");
    static constexpr int HomePageLuckyNumber = 7;

    explicit Windows(const AppServices &services);
    ~Windows() override;

    MainWindow *main() const { return m_main.get(); }
    // Built on first use; startUp() builds it while the user fills the list.
    ResultsWindow *results();

    // Run once before the main window is first shown: skin, centring, caption, hand pointer,
    // the home-page chance, the splash, then the list's column and the stored bitrate. ready
    // runs at its end.
    void startUp(std::function<void()> ready = {});
    // What a later start of the program named: added to the list as a drop would, and the
    // window on screen comes to the front.
    void openPaths(const QStringList &paths);
    // The program is asked to end from outside (a signal, the session ending): both
    // windows close as if the user had closed them, so no tool and no temporary file stays.
    void shutDown();

private:
    AppServices m_services;
    std::unique_ptr<MainWindow> m_main;
    std::unique_ptr<ResultsWindow> m_results;
};
