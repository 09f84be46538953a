#include "app/startup.h"

#include "app/mainwindow.h"
#include "app/shell/appearance.h"
#include "app/shell/cursorfile.h"
#include "app/shell/desktoplauncher.h"
#include "app/shell/settingsstore.h"
#include "app/shell/twips.h"
#include "app/splashwindow.h"
#include "convert/files/pathhelpers.h"
#include "convert/toolcommands.h"
#include "filelist/filelistview.h"

#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>

void StartUp::run(MainWindow *window, std::function<void()> ready)
{
    const AppServices &services = window->m_services;
    Appearance::applySkin(window, services.appFolder);
    Appearance::centerForm(window);
    window->setWindowTitle(QStringLiteral("Quorvane"));

    window->m_pointer = new PointerRule(
        window, CursorFile::load(Paths::joinPath(services.appFolder, QStringLiteral("HAND-M.CUR"))));
    for (QPushButton *b : {window->m_addFiles, window->m_addFolder, window->m_start, window->m_clear,
                           window->m_samples})
        window->m_pointer->addButton(b);
    window->updatePointer();

    if (services.rollPercent && services.rollPercent() == HomePageLuckyNumber && services.launcher)
        services.launcher->open(QUrl(HomePageUrl));

    (new SplashWindow(services, window))->splashShow([window, ready] {
        afterSplash(window);
        if (ready)
            ready();
    });
}

void StartUp::afterSplash(MainWindow *window)
{
    window->m_list->header()->resizeSection(0, Twips::toPixels(6500, window->logicalDpiX()));

    QComboBox *bitrate = window->m_bitrate;
    for (int rate : Tools::bitrates())
        bitrate->addItem(Tools::bitrateText(rate), rate);
    SettingsStore *settings = window->m_services.settings;
    const int stored = bitrate->findText(settings->read(SettingsStore::KeyBitrate, Tools::defaultBitrateText()));
    // The program never stores anything else. A hand-edited value shows the default but
    // stays stored until the user picks: nothing is written at start-up.
    bitrate->setCurrentIndex(stored >= 0 ? stored : bitrate->findText(Tools::defaultBitrateText()));
    // Every pick is stored at once; nothing is stored at exit.
    QObject::connect(bitrate, &QComboBox::currentTextChanged, window,
                     [settings](const QString &text) { settings->write(SettingsStore::KeyBitrate, text); });

    window->m_focusHolder->setFocus();
}
