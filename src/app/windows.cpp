#include "app/windows.h"

#include "app/mainwindow.h"
#include "shell/appearance.h"
#include "shell/cursorfile.h"
#include "shell/desktoplauncher.h"
#include "shell/userdialogs.h"
#include "app/splashwindow.h"
#include "convert/saving/resultset.h"
#include "results/resultswindow.h"

#include <QDir>
#include <QTimer>

Windows::Windows(const AppServices &services)
    : m_services(services)
    , m_main(std::make_unique<MainWindow>(services))
{
    connect(m_main.get(), &MainWindow::converted, this,
            [this](ResultSet *converted, const QString &warning, const QString &details) {
                ResultsWindow *window = results();
                window->showResults(converted);
                window->playResult(0);
                window->show();
                m_main->hide();
                if (!warning.isEmpty())
                    m_services.dialogs->warn(window, warning, details);
            });
}

Windows::~Windows() = default;

ResultsWindow *Windows::results()
{
    if (!m_results) {
        m_results = std::make_unique<ResultsWindow>(m_services);
        connect(m_results.get(), &ResultsWindow::backRequested, this, [this] {
            m_main->show();
            m_results->hide();
        });
    }
    return m_results.get();
}

void Windows::startUp(std::function<void()> ready)
{
    MainWindow *window = m_main.get();
    Appearance::applySkin(window, m_services.appFolder);
    Appearance::centerForm(window);
    window->setWindowTitle(QStringLiteral("Quorvane"));

    window->useHandCursor(CursorFile::load(QDir(m_services.appFolder).filePath(QStringLiteral("HAND-M.CUR"))));

    if (m_services.rollPercent && m_services.rollPercent() == HomePageLuckyNumber && m_services.launcher)
        m_services.launcher->open(QUrl(HomePageUrl));

    // The list and the bitrates are set up once the splash has gone.
    (new SplashWindow(m_services, window))->splashShow([this, window, ready] {
        window->fillControls();
        if (ready)
            ready();
        // The results window (and its media player, the slowest part) is built while the
        // user is still filling the list, not in the middle of the first batch.
        QTimer::singleShot(0, this, [this] { results(); });
    });
}

void Windows::openPaths(const QStringList &paths)
{
    m_main->addDroppedPaths(paths);
    // During the splash neither window is on screen yet; the splash is.
    QWidget *shown = m_main->isVisible() ? static_cast<QWidget *>(m_main.get()) : m_results.get();
    if (!shown || !shown->isVisible())
        return;
    if (shown->isMinimized())
        shown->showNormal();
    shown->raise();
    shown->activateWindow();
}

void Windows::shutDown()
{
    if (m_results && m_results->isVisible())
        m_results->close();
    m_main->close();
}
