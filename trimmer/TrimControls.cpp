// The file dialog objects and the drop targets of the trimmer's window.
#include "TrimControls.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QUrl>

// ---------------------------------------------------------------------------------------------
// TTrimFileDialog

std::function<bool(TTrimFileDialog &)> TTrimFileDialog::ExecuteHook;

bool TTrimFileDialog::Execute(QWidget *parent)
{
    if (ExecuteHook)
        return ExecuteHook(*this);
    QFileDialog dialog(parent);
    // Qt's own dialog on every desktop, so that it looks and behaves the same everywhere (and
    // keyboard-driven tools can reach its name field).
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setNameFilter(Filter);
    if (!FileName.isEmpty())
        dialog.selectFile(FileName);
    if (FKind == Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(DefaultExt);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = dialog.selectedFiles().constFirst();
    return true;
}

// ---------------------------------------------------------------------------------------------
// TDropFileTarget

namespace {

QStringList localFiles(const QMimeData *data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            files << url.toLocalFile();
    return files;
}

constexpr Qt::DropActions Accepted = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;

} // namespace

TDropFileTarget::TDropFileTarget(QWidget *Target, QObject *parent) : QObject(parent), FTarget(Target)
{
    Target->setAcceptDrops(true);
    Target->installEventFilter(this);
}

bool TDropFileTarget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != FTarget)
        return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *e = static_cast<QDragMoveEvent *>(event);
        if ((e->possibleActions() & Accepted) && !localFiles(e->mimeData()).isEmpty())
            e->acceptProposedAction();
        else
            e->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto *e = static_cast<QDropEvent *>(event);
        Files = localFiles(e->mimeData());
        if (Files.isEmpty() || !(e->possibleActions() & Accepted)) {
            e->ignore();
            return true;
        }
        Qt::DropAction effect = e->proposedAction();
        if (OnDrop)
            OnDrop(this, e->modifiers(), e->position().toPoint(), effect);
        e->setDropAction(effect);
        e->accept();
        return true;
    }
    default:
        return false;
    }
}
