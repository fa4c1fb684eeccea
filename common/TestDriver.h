// A remote hand for system tests: when the environment names a socket in
// FONOLUX_TEST_DRIVER, the program listens at that name plus "." and its lower-case
// application name ("/tmp/x/drive.fonolux") for one-line commands that press, type into
// and read its widgets by object name, exactly as a user's mouse and keyboard would (the events
// are posted to the widgets, so the program's own handlers run as for a real click). Nothing
// listens when the variable is unset; the variable is meant for tests only.
//
// Commands (one per line, UTF-8; the reply is one line starting with "ok" or "error"):
//   click NAME                   press and release the left button at the widget's centre
//   clickat NAME X Y             the same at widget coordinates X, Y
//   drag NAME X1 Y1 X2 Y2        press at X1,Y1, move in steps, release at X2,Y2
//   type NAME TEXT               focus the widget and type TEXT key by key
//   key NAME KEY                 one key by its name ("Return", "Escape", "Down", "Up", "Tab",
//                                "Left", "Right", "Space", "Backspace", "Home", "End", "Delete")
//   choose NAME TEXT             in a combo box: move to the item with that text by Up/Down keys
//   get NAME PROPERTY            a property of the widget as text ("text", "windowTitle", ...)
//   grab NAME PATH               save a picture of the widget's window as PNG at PATH
//   windows                      the visible top-level windows: "class|objectName|title" each,
//                                separated by " ;; "
//   savefile PATH                in the visible file dialog: type PATH as the file name and
//                                click its Save (or Open) button
// NAME may be "@active" for the active window, "@dialog" for the visible modal dialog or
// "@message" for a visible message box.
// GUI thread only; every command is carried out from the event loop, so it also works while
// the program waits inside a nested loop (a modal dialog, a pumping wait).
#pragma once

class QObject;

// Starts the driver when FONOLUX_TEST_DRIVER is set; call once after the application object
// exists. Returns true when it listens.
bool installTestDriverFromEnvironment(QObject *parent);
