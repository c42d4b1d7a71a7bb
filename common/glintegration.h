// Start-up of the prompts without the toolkit's OpenGL support.
#pragma once

// The prompts draw with widgets alone, yet on X11 the toolkit loads its GLX
// integration (Mesa, and with it LLVM) while the application object is built:
// tens of milliseconds and megabytes at every start. Switches it off through
// QT_XCB_GL_INTEGRATION=none; a value already in the environment is kept, so
// whoever starts a prompt can still choose. Call before the QApplication.
void turnOffGlIntegration();
