#include "promptsetup.h"

#include <QtGlobal>
#include <xcb/xcb.h>
#if QT_VERSION < QT_VERSION_CHECK(5, 7, 0)
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The display's accessibility bus when it stands in for the session bus.
std::string g_displayBus;

// The longest bus address taken from the display, in 4-byte units.
const uint32_t kAddressWords = 256;

// The address of the accessibility bus that the desktop publishes on the
// root window of our display (AT_SPI_BUS), read as the user we run as; empty
// when there is none, or when it is not a local socket's plain address: a
// network bus would carry what a screen reader reads off this host.
std::string _displayAccessibilityBus()
{
    std::string address;
    int screen = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screen);
    if (!xcb_connection_has_error(c)) {
        xcb_screen_iterator_t root = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screen && root.rem; ++i)
            xcb_screen_next(&root);
        xcb_intern_atom_reply_t *atom =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 10, "AT_SPI_BUS"), nullptr);
        if (atom && atom->atom != XCB_ATOM_NONE && root.rem) {
            xcb_get_property_reply_t *value = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root.data->root, atom->atom, XCB_ATOM_STRING, 0, kAddressWords),
                nullptr);
            if (value && value->format == 8 && value->bytes_after == 0)
                address.assign(static_cast<const char *>(xcb_get_property_value(value)),
                               xcb_get_property_value_length(value));
            free(value);
        }
        free(atom);
    }
    xcb_disconnect(c);
    for (const char ch : address) {
        if (ch <= ' ' || ch > '~')
            return {};
    }
    return address.compare(0, 5, "unix:") == 0 ? address : std::string();
}

// Qt 5.6's ibus input context finds the address of the user's ibus from the
// display's number, which it reads wrong when no screen is named (":10",
// where remote desktops start, as ":0"): it then reaches no ibus and converts
// no key. The same display with its screen named, ":10.0", reads right.
void _nameTheScreen()
{
    const char *display = getenv("DISPLAY");
    const char *number = display ? strrchr(display, ':') : nullptr;
    if (number && number[1] && !strchr(number, '.'))
        setenv("DISPLAY", (std::string(display) + ".0").c_str(), 1);
}

}  // namespace

void setUpPrompt()
{
    _nameTheScreen();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The last argument 0 keeps a value that is already there.
    setenv("QT_XCB_GL_INTEGRATION", "none", 0);
    if (!getenv("DBUS_SESSION_BUS_ADDRESS")) {
        g_displayBus = _displayAccessibilityBus();
        setenv("DBUS_SESSION_BUS_ADDRESS", g_displayBus.empty() ? "disabled:" : g_displayBus.c_str(),
               1);
    }
}

void setUpPromptApplication()
{
#if QT_VERSION < QT_VERSION_CHECK(5, 7, 0)
    // Qt 5.6's bridge connects to the root window's bus while it is being
    // built and announces that it is on before anyone listens, so it stays
    // off; the announcement is played again once it exists.
    if (g_displayBus.empty())
        return;
    QPlatformIntegration *platform = QGuiApplicationPrivate::platformIntegration();
    QPlatformAccessibility *bridge = platform ? platform->accessibility() : nullptr;
    QObject *object = dynamic_cast<QObject *>(bridge);
    if (object && !bridge->isActive())
        QMetaObject::invokeMethod(object, "enabledChanged", Q_ARG(bool, true));
#endif
}
