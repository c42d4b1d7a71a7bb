// The window size of the chooser and the PIN prompt: the size they were
// designed at on a 96 dpi screen, grown with the font.
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
// one the user is on.
QRect pointerScreenArea();
