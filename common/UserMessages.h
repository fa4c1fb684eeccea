// How the programs talk to the user outside their windows: message boxes and handing an
// address to the desktop (default editor, browser, file manager).
//
// Both go through replaceable sinks so that tests can capture what would be shown or opened
// instead of blocking on a modal box or starting other programs. GUI thread only.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QDialog;
class QWidget;

namespace ui {

using MessageSink = std::function<void(const QString &text)>;
using UrlOpener = std::function<bool(const QUrl &url)>;

// Shows text in a modal message box owned by parent's window (or hands it to the installed
// sink). The text is shown as it stands (plain text, never markup).
void showMessage(QWidget *parent, const QString &text);

// What a report asks of the user.
enum class Report {
    Answer, // a message box: the user must see it and dismiss it
    Notice, // the status bar: said once, without interrupting
};
// The one way a window's handlers tell the user about a problem or an outcome. A notice goes
// to the first label of the status bar of parent's window (the recorder's single panel), else
// to the bar's message line; a window without a status bar shows it in a box all the same.
void report(QWidget *parent, const QString &text, Report how = Report::Answer);

// Dialogs belong to a window and come up in front of it, also when that window stays on top
// of others ("Stay On Top"): a window manager keeps a stay-on-top window above ordinary ones,
// so a dialog of such a window stays on top as well.
//
// The window a dialog opened for w belongs to: w's own window when w is given, else the active
// window, else the first visible top-level window; nullptr when there is none.
QWidget *dialogOwner(QWidget *w);
// Makes dialog, created with dialogOwner(...) as its parent, stay on top when its owner does.
// Call before showing it.
void keepInFront(QDialog *dialog);
// A modal folder chooser owned by parent's window, in front of it; the chosen folder or the
// empty text when the user cancels.
QString chooseFolder(QWidget *parent, const QString &title, const QString &startFolder);
// Opens url with the desktop's default program (or hands it to the installed opener).
bool openUrl(const QUrl &url);

// Installs a sink; an empty function restores the real behaviour.
void setMessageSink(MessageSink sink);
void setUrlOpener(UrlOpener opener);

} // namespace ui
