// The window size of the prompts: the size they were designed at on a 96
// dpi screen, grown with the font, and their place on the user's screen.
#pragma once

#include <QRect>
#include <QSize>

class QWidget;

// Fixes window's size at designed scaled by the screen's logical dpi over 96
// (never below designed), or at what its layout needs when that is more, so
// that no text is cut at a larger font. The layout's margins are scaled
// alike, so call it once, when the form holds its texts.
void fixWindowSize(QWidget *window, const QSize &designed);

// length (pixels at 96 dpi) scaled to the widget's logical dpi, as above.
int scaledToFont(const QWidget *widget, int length);

// The free area (without panels) of the screen that holds the pointer, the
// one the user is on; on X11, of the monitor that holds it where the
// display shows one screen as several.
QRect pointerScreenArea();

// Places window, sized already, in the middle of that area. Called before
// the window is shown, it takes the place of the toolkit's own, which knows
// the screens but not the monitors.
void centreOnPointerScreen(QWidget *window);
