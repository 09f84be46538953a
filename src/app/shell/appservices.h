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
    // The folder of the program: the tools and the data files lie there.
    QString appFolder;
    // Where converted files live until they are saved.
    QString tempFolder;
    // A number from 1 to 100, drawn once per start for the home-page chance.
    std::function<int()> rollPercent;
    // Files converted at once; 1 converts one file after another.
    int jobs = 1;
    // How long a tool may show no progress before it is stopped and its file fails.
    int toolTimeoutSeconds = 120;
};
