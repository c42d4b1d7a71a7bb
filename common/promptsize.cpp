#include "promptsize.h"

#include <QApplication>
#include <QCursor>
#include <QLayout>
#include <QScreen>
#include <QWidget>
#if QT_VERSION < QT_VERSION_CHECK(5, 10, 0)
#include <QDesktopWidget>
#endif

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// A desktop with larger fonts raises the logical dpi (Xft.dpi on X11); the
// fonts' pixel sizes follow it, and so does everything sized here.
double _fontScale(const QWidget *widget)
{
    return std::max(1.0, widget->logicalDpiY() / 96.0);
}

// The monitor that holds the pointer, in the display's pixels, as RandR 1.5
// lists the monitors; an empty rectangle when it lists none. The toolkit
// knows only outputs, so one output shown as two monitors (a wide panel
// split in two, xrandr --setmonitor) is one screen to it, and a window
// centred there straddles the seam.
QRect _pointerMonitor()
{
    QRect found;
    int screen = 0;
    // The toolkit's display, unless it was given one on the command line.
    xcb_connection_t *c = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return found;
    }
    xcb_screen_iterator_t root = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen && root.rem; ++i)
        xcb_screen_next(&root);
    const xcb_query_extension_reply_t *randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr && randr->present && root.rem) {
        xcb_query_pointer_reply_t *pointer =
            xcb_query_pointer_reply(c, xcb_query_pointer(c, root.data->root), nullptr);
        xcb_randr_get_monitors_reply_t *monitors = xcb_randr_get_monitors_reply(
            c, xcb_randr_get_monitors(c, root.data->root, 1), nullptr);
        if (pointer && pointer->same_screen && monitors) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors); it.rem;
                 xcb_randr_monitor_info_next(&it)) {
                const QRect monitor(it.data->x, it.data->y, it.data->width, it.data->height);
                if (monitor.contains(pointer->root_x, pointer->root_y)) {
                    found = monitor;
                    break;
                }
            }
        }
        free(monitors);
        free(pointer);
    }
    xcb_disconnect(c);
    return found;
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
    if (!screen)
        return QRect();
    QRect area = screen->availableGeometry();
    const qreal ratio = screen->devicePixelRatio();
#else
    const QDesktopWidget *desktop = QApplication::desktop();
    QRect area = desktop->availableGeometry(desktop->screenNumber(QCursor::pos()));
    const qreal ratio = qApp->devicePixelRatio();
#endif
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return area;
    // The toolkit's pixels are the display's over the scale factor.
    const QRect monitor = _pointerMonitor();
    const QRect scaled(std::lround(monitor.x() / ratio), std::lround(monitor.y() / ratio),
                       std::lround(monitor.width() / ratio), std::lround(monitor.height() / ratio));
    return area.intersects(scaled) ? area.intersected(scaled) : area;
}

void centreOnPointerScreen(QWidget *window)
{
    const QRect area = pointerScreenArea();
    if (!area.isValid())
        return;
    QRect frame(QPoint(), window->size());
    frame.moveCenter(area.center());
    // A window larger than the area keeps its title bar on it.
    window->move(std::max(frame.left(), area.left()), std::max(frame.top(), area.top()));
}
