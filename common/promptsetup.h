// What the three prompts set up before their application object exists.
#pragma once

// - Standard output is line-buffered: the calling service reads our lines
//   through a file or a pipe, and each must leave as soon as it is printed,
//   even when the service kills a prompt it gave up on.
// - No GLX integration (QT_XCB_GL_INTEGRATION=none): the prompts draw with
//   widgets alone, yet on X11 the toolkit would load Mesa, and with it LLVM,
//   while the application object is built: tens of milliseconds and megabytes
//   at every start.
// - No session bus of our own: without an address, the toolkit autostarts a
//   dbus-daemon that outlives the prompt, and as root writes under the user's
//   ~/.dbus. Where the desktop publishes its accessibility bus on the
//   display's root window (AT_SPI_BUS), as sessions started with dbus-launch
//   do, whose bus the calling service cannot find, that bus stands in for the
//   session bus: the toolkit's screen reader bridge, which reads the same
//   property itself, does so only once it has a session bus. Otherwise
//   DBUS_SESSION_BUS_ADDRESS=disabled:.
// - The display named with its screen (":10" as ":10.0", the same display),
//   so that Qt 5.6's ibus input context, which misreads the display's number
//   without it, reaches the user's ibus.
// A value already in the environment is kept, so whoever starts a prompt can
// still choose. Call first thing in main.
void setUpPrompt();
// What the prompts set up once their application object exists: on Qt 5.6,
// the screen reader bridge switched on when it took that bus from the
// display.
void setUpPromptApplication();
