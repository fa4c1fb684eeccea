#include "NumericKeyFilter.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>

bool NumericKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason why = static_cast<QFocusEvent *>(event)->reason();
        auto *field = qobject_cast<QLineEdit *>(watched);
        if (field && leave_ && why != Qt::ActiveWindowFocusReason && why != Qt::PopupFocusReason)
            leave_(field);
        return QObject::eventFilter(watched, event);
    }
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return QObject::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    switch (key->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return QObject::eventFilter(watched, event);
    default:
        break;
    }
    if (key->key() >= Qt::Key_0 && key->key() <= Qt::Key_9 &&
        !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return QObject::eventFilter(watched, event);
    // A key with Ctrl, Alt or Meta that the field does not claim itself (as it claims Ctrl+V)
    // is the window's shortcut (Ctrl+Q closes); accepting its override would swallow it. Any
    // other override is accepted so that the field gets the key press, which is then dropped.
    if (event->type() == QEvent::ShortcutOverride) {
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            return QObject::eventFilter(watched, event);
        event->accept();
        return true;
    }
    return true;
}
