#pragma once

#include <QString>

#include <functional>

class SettingsStore;
class UserDialogs;
class DesktopLauncher;

// What the windows are given by main() (or by a test): the real store, dialogs and
// launcher, or fakes. The windows own none of these.
struct AppServices
{
    SettingsStore *settings = nullptr;
    UserDialogs *dialogs = nullptr;
    DesktopLauncher *launcher = nullptr;
    QString appFolder;                  // the program's folder: the tools and data files lie there
    QString tempFolder;                 // where converted files live until they are saved
    std::function<int()> rollPercent;   // 1 to 100, drawn once per start for the home-page chance
    int jobs = 1;                       // files converted at once; 1 converts one after another
    int toolTimeoutSeconds = 120;       // a tool showing no progress this long is stopped; its file fails
};
