// How the programs talk to the user outside their windows: message boxes and handing an
// address to the desktop (default editor, browser, file manager).
//
// Both go through replaceable sinks so that tests can capture what would be shown or opened
// instead of blocking on a modal box or starting other programs. GUI thread only.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace ui {

using MessageSink = std::function<void(const QString &text)>;
using UrlOpener = std::function<bool(const QUrl &url)>;

// Shows text in a modal message box owned by parent (or hands it to the installed sink).
void showMessage(QWidget *parent, const QString &text);
// Opens url with the desktop's default program (or hands it to the installed opener).
bool openUrl(const QUrl &url);

// Installs a sink; an empty function restores the real behaviour.
void setMessageSink(MessageSink sink);
void setUrlOpener(UrlOpener opener);

} // namespace ui
