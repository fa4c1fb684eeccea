#include "UserMessages.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
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
    QMessageBox box(QMessageBox::Information, QApplication::applicationDisplayName(), text, QMessageBox::Ok,
                    dialogOwner(parent));
    keepInFront(&box);
    box.exec();
}

QWidget *dialogOwner(QWidget *w)
{
    if (w)
        return w->window();
    if (QWidget *active = QApplication::activeWindow())
        return active;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->isVisible() && !qobject_cast<QDialog *>(top))
            return top;
    return nullptr;
}

void keepInFront(QDialog *dialog)
{
    const QWidget *owner = dialog->parentWidget() ? dialog->parentWidget()->window() : nullptr;
    if (owner && owner->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
        dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true);
}

QString chooseFolder(QWidget *parent, const QString &title, const QString &startFolder)
{
    QFileDialog dialog(dialogOwner(parent), title, startFolder);
    dialog.setObjectName(QStringLiteral("folderDialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    // The desktop's own chooser would be a separate window the program cannot keep in front.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    keepInFront(&dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
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
