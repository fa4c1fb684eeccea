#include "UserMessages.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>

namespace ui {
namespace {
MessageSink &messageSink()
{
    static MessageSink sink;
    return sink;
}
UrlOpener &urlOpener()
{
    static UrlOpener opener;
    return opener;
}
} // namespace

void showMessage(QWidget *parent, const QString &text)
{
    if (messageSink()) {
        messageSink()(text);
        return;
    }
    QMessageBox::information(parent, QApplication::applicationDisplayName(), text);
}

bool openUrl(const QUrl &url)
{
    if (urlOpener())
        return urlOpener()(url);
    return QDesktopServices::openUrl(url);
}

void setMessageSink(MessageSink sink)
{
    messageSink() = std::move(sink);
}

void setUrlOpener(UrlOpener opener)
{
    urlOpener() = std::move(opener);
}

} // namespace ui
