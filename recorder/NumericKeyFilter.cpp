#include "NumericKeyFilter.h"

#include <QKeyEvent>

bool NumericKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
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
    // A shortcut override we swallow would still fire the shortcut; accept it so the field
    // gets the key press, which we then drop.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return true;
}
