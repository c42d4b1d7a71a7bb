#include "promptsize.h"

#include <QApplication>
#include <QCursor>
#include <QLayout>
#include <QScreen>
#include <QWidget>
#if QT_VERSION < QT_VERSION_CHECK(5, 10, 0)
#include <QDesktopWidget>
#endif

#include <algorithm>
#include <cmath>

namespace {

// A desktop with larger fonts raises the logical dpi (Xft.dpi on X11); the
// fonts' pixel sizes follow it, and so does everything sized here.
double _fontScale(const QWidget *widget)
{
    return std::max(1.0, widget->logicalDpiY() / 96.0);
}

}  // namespace

int scaledToFont(const QWidget *widget, int length)
{
    return static_cast<int>(std::lround(length * _fontScale(widget)));
}

void fixWindowSize(QWidget *window, const QSize &designed)
{
    const QSize scaled(scaledToFont(window, designed.width()),
                       scaledToFont(window, designed.height()));
    // The margins of the form grow too, or the grown texts would crowd them.
    if (QLayout *layout = window->layout()) {
        const QMargins m = layout->contentsMargins();
        layout->setContentsMargins(scaledToFont(window, m.left()), scaledToFont(window, m.top()),
                                   scaledToFont(window, m.right()), scaledToFont(window, m.bottom()));
    }
    QSize size = window->sizeHint().expandedTo(scaled);
    // A wrapped text may need more lines at the width the window gets.
    if (window->hasHeightForWidth())
        size.setHeight(std::max(size.height(), window->heightForWidth(size.width())));
    window->setFixedSize(size);
}

QRect pointerScreenArea()
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 10, 0)
    const QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
#else
    const QDesktopWidget *desktop = QApplication::desktop();
    return desktop->availableGeometry(desktop->screenNumber(QCursor::pos()));
#endif
}
