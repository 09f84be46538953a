#include "app/windows.h"

#include "app/mainwindow.h"
#include "app/shell/appearance.h"
#include "app/shell/cursorfile.h"
#include "app/shell/desktoplauncher.h"
#include "app/shell/settingsstore.h"
#include "app/shell/twips.h"
#include "app/shell/userdialogs.h"
#include "app/splashwindow.h"
#include "convert/files/pathhelpers.h"
#include "convert/toolcommands.h"
#include "filelist/filelistview.h"
#include "results/resultswindow.h"
#include "results/saving/resultset.h"

#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
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

    window->m_pointer = new PointerRule(
        window, CursorFile::load(Paths::joinPath(m_services.appFolder, QStringLiteral("HAND-M.CUR"))));
    for (QPushButton *b : {window->m_addFiles, window->m_addFolder, window->m_start, window->m_clear,
                           window->m_samples})
        window->m_pointer->addButton(b);
    window->updatePointer();

    if (m_services.rollPercent && m_services.rollPercent() == HomePageLuckyNumber && m_services.launcher)
        m_services.launcher->open(QUrl(HomePageUrl));

    // The list and the bitrates are set up once the splash has gone.
    (new SplashWindow(m_services, window))->splashShow([this, window, ready] {
        window->m_list->header()->resizeSection(0, Twips::toPixels(6500, window->logicalDpiX()));

        QComboBox *bitrate = window->m_bitrate;
        for (int rate : Tools::bitrates())
            bitrate->addItem(Tools::bitrateText(rate), rate);
        SettingsStore *settings = m_services.settings;
        const int stored = bitrate->findText(settings->read(SettingsStore::KeyBitrate, Tools::defaultBitrateText()));
        // The program never stores anything else. A hand-edited value shows the default but
        // stays stored until the user picks: nothing is written at start-up.
        bitrate->setCurrentIndex(stored >= 0 ? stored : bitrate->findText(Tools::defaultBitrateText()));
        // Every pick is stored at once; nothing is stored at exit.
        connect(bitrate, &QComboBox::currentTextChanged, window,
                [settings](const QString &text) { settings->write(SettingsStore::KeyBitrate, text); });
        window->m_focusHolder->setFocus();

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
