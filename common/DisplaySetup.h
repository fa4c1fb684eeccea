// What both programs settle about the display around the creation of their application object.
//
// - The windows' pixels reach an X server by plain requests rather than through shared memory:
//   after each shared-memory put the toolkit waits for the server's completion report, which
//   costs a round trip and two thread wake-ups per repaint, and the marquee repaints fifty times
//   a second (on a machine without a GPU that was most of the program's CPU while idle). A
//   QT_XCB_NO_MITSHM the user set is kept as it is.
// - A display without GL (an X server without GLX) makes the toolkit warn at start that it
//   cannot make a GL context; the windows never need one, so that warning is not shown.
//
// Call prepareDisplay() before the QApplication is created and displayReady() right after.
// Programs started later (the trimmer, the browser opener) inherit none of it.
#pragma once

void prepareDisplay();
void displayReady();
