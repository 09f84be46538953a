#pragma once

#include <QDesktopServices>
#include <QUrl>

// Hands an address or a folder to the desktop (browser, file manager); tests record it instead.
class DesktopLauncher
{
public:
    virtual ~DesktopLauncher() = default;
    virtual bool open(const QUrl &url) = 0;
};

class QtDesktopLauncher : public DesktopLauncher
{
public:
    bool open(const QUrl &url) override { return QDesktopServices::openUrl(url); }
};
