// Tries to take the keyboard of $DISPLAY, as any client of the display can,
// prints "grabbed" or "refused", and lets it go again.
#include <X11/Xlib.h>
#include <stdio.h>

int main(void)
{
    Display *display = XOpenDisplay(NULL);
    if (!display)
        return 1;
    const int status = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    puts(status == GrabSuccess ? "grabbed" : "refused");
    XCloseDisplay(display);
    return 0;
}
