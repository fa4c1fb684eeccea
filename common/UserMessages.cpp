#include "UserMessages.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QStatusBar>

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
    // Texts carry station names, addresses and error texts from outside: markup in them must
    // show as typed, never be rendered (an <img> would read a local file).
    box.setTextFormat(Qt::PlainText);
    keepInFront(&box);
    box.exec();
}

void report(QWidget *parent, const QString &text, Report how)
{
    if (how == Report::Notice && parent) {
        // findChild, not statusBar(): that would give a window without one a new bar.
        if (auto *bar = parent->window()->findChild<QStatusBar *>()) {
            if (auto *panel = bar->findChild<QLabel *>()) {
                panel->setTextFormat(Qt::PlainText);
                panel->setText(text);
            } else {
                bar->showMessage(text);
            }
            return;
        }
    }
    showMessage(parent, text);
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
