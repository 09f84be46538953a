#include "app/windows.h"

#include "app/mainwindow.h"
#include "app/startup.h"
#include "app/shell/userdialogs.h"
#include "results/resultswindow.h"
#include "results/saving/resultset.h"

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
    StartUp::run(m_main.get(), [this, ready] {
        if (ready)
            ready();
        // The results window (and its media player, the slowest part) is built while the
        // user is still filling the list, not in the middle of the first batch.
        QTimer::singleShot(0, this, [this] { results(); });
    });
}

void Windows::shutDown()
{
    if (m_results && m_results->isVisible())
        m_results->close();
    m_main->close();
}
