#pragma once

class QWidget;

// The look of the windows that does not belong to any one window.
namespace Appearance {

// Centres window on the available area of the screen it is on.
void centerForm(QWidget *window);

} // namespace Appearance
