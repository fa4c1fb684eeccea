// A remote hand for system tests, benchmarks and the screenshots: a small shared library that
// is never part of the programs. Loaded into a program with LD_PRELOAD (only test builds make
// it: -DFONOLUX_TEST_HOOKS=ON), it starts with the program's application object and, when the
// environment names a socket in FONOLUX_TEST_DRIVER, listens at that name plus "." and the
// lower-case application name ("/tmp/x/drive.fonolux") for one-line commands that press, type
// into and read its widgets by object name, exactly as a user's mouse and keyboard would (the
// events are posted to the widgets, so the program's own handlers run as for a real click).
// Nothing listens when the variable is unset. A program started by a driven one (the trimmer
// by the recorder) inherits the variables and is driven too.
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

#include <QAbstractButton>
#include <QApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QCompleter>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

namespace {

QWidget *findWidget(const QString &name)
{
    if (name == QLatin1String("@active"))
        return QApplication::activeWindow();
    if (name == QLatin1String("@dialog"))
        return QApplication::activeModalWidget();
    if (name == QLatin1String("@message")) {
        for (QWidget *top : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(top) && top->isVisible())
                return top;
        return nullptr;
    }
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (!top->isVisible())
            continue;
        if (top->objectName() == name)
            return top;
        if (auto *w = top->findChild<QWidget *>(name); w && w->isVisible())
            return w;
    }
    // A widget on a hidden page (another tab) still counts: a test may read it.
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *w = top->findChild<QWidget *>(name))
            return w;
    return nullptr;
}

void postMouse(QWidget *w, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
{
    const QPointF local(pos);
    const QPointF global(w->mapToGlobal(pos));
    QCoreApplication::postEvent(
        w, new QMouseEvent(type, local, global, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                           Qt::NoModifier));
}

void postKey(QWidget *w, int key, const QString &text = QString())
{
    QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
    QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, text));
}

int keyByName(const QString &name)
{
    static const QHash<QString, int> keys{{QStringLiteral("Return"), Qt::Key_Return},
                                          {QStringLiteral("Escape"), Qt::Key_Escape},
                                          {QStringLiteral("Down"), Qt::Key_Down},
                                          {QStringLiteral("Up"), Qt::Key_Up},
                                          {QStringLiteral("Tab"), Qt::Key_Tab},
                                          {QStringLiteral("Space"), Qt::Key_Space},
                                          {QStringLiteral("Backspace"), Qt::Key_Backspace},
                                          {QStringLiteral("End"), Qt::Key_End},
                                          {QStringLiteral("Home"), Qt::Key_Home},
                                          {QStringLiteral("Left"), Qt::Key_Left},
                                          {QStringLiteral("Right"), Qt::Key_Right},
                                          {QStringLiteral("Delete"), Qt::Key_Delete}};
    return keys.value(name, 0);
}

void typeText(QWidget *w, const QString &text)
{
    w->activateWindow();
    w->setFocus(Qt::OtherFocusReason);
    for (const QChar c : text)
        postKey(w, c.unicode() < 128 ? int(QChar(c).toUpper().unicode()) : int(Qt::Key_unknown), QString(c));
}

class TestDriver : public QObject {
public:
    explicit TestDriver(QObject *parent) : QObject(parent), server_(new QLocalServer(this))
    {
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *s = server_->nextPendingConnection()) {
                connect(s, &QLocalSocket::readyRead, this, [this, s] { serve(s); });
                connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    bool listen(const QString &name)
    {
        QLocalServer::removeServer(name);
        return server_->listen(name);
    }

private:
    void serve(QLocalSocket *s)
    {
        while (s->canReadLine()) {
            const QString line = QString::fromUtf8(s->readLine()).trimmed();
            s->write(run(line).toUtf8() + '\n');
            s->flush();
        }
    }

    QString run(const QString &line)
    {
        const int sp = line.indexOf(QLatin1Char(' '));
        const QString cmd = line.left(sp);
        const QString rest = sp < 0 ? QString() : line.mid(sp + 1);
        if (cmd == QLatin1String("windows")) {
            QStringList out;
            for (QWidget *top : QApplication::topLevelWidgets())
                if (top->isVisible())
                    out << QStringLiteral("%1|%2|%3").arg(QString::fromLatin1(top->metaObject()->className()),
                                                          top->objectName(), top->windowTitle());
            return QStringLiteral("ok ") + out.join(QStringLiteral(" ;; "));
        }
        if (cmd == QLatin1String("savefile")) {
            auto *dlg = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dlg)
                for (QWidget *top : QApplication::topLevelWidgets())
                    if (auto *d = qobject_cast<QFileDialog *>(top); d && d->isVisible())
                        dlg = d;
            if (!dlg)
                return QStringLiteral("error no file dialog");
            auto *edit = dlg->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!edit)
                return QStringLiteral("error the file dialog has no name field");
            edit->selectAll();
            postKey(edit, Qt::Key_Delete);
            typeText(edit, rest);
            // Then the dialog's Save (or Open) button is clicked, once the typed keys are in.
            // A completion list that came up while typing would take a Return for itself (and
            // may come up late, as the folder is read), so the button is clicked instead, as a
            // user may; the click dismisses the list as a click beside it does.
            QPushButton *accept = nullptr;
            if (auto *box = dlg->findChild<QDialogButtonBox *>())
                for (QAbstractButton *b : box->buttons())
                    if (box->buttonRole(b) == QDialogButtonBox::AcceptRole)
                        accept = qobject_cast<QPushButton *>(b);
            if (!accept)
                return QStringLiteral("error the file dialog has no accept button");
            QPointer<QLineEdit> target(edit);
            QPointer<QPushButton> button(accept);
            QMetaObject::invokeMethod(
                edit,
                [target, button] {
                    if (!target || !button)
                        return;
                    if (QCompleter *c = target->completer(); c && c->popup() && c->popup()->isVisible())
                        c->popup()->hide();
                    postMouse(button, QEvent::MouseButtonPress, button->rect().center(), Qt::LeftButton);
                    postMouse(button, QEvent::MouseButtonRelease, button->rect().center(), Qt::NoButton);
                },
                Qt::QueuedConnection);
            return QStringLiteral("ok");
        }
        const int sp2 = rest.indexOf(QLatin1Char(' '));
        const QString name = rest.left(sp2);
        const QString arg = sp2 < 0 ? QString() : rest.mid(sp2 + 1);
        QWidget *w = findWidget(name);
        if (!w)
            return QStringLiteral("error no widget ") + name;
        if (cmd == QLatin1String("get")) {
            const QVariant v = w->property(arg.toUtf8().constData());
            if (!v.isValid())
                return QStringLiteral("error no property ") + arg;
            return QStringLiteral("ok ") + v.toString();
        }
        if (cmd == QLatin1String("grab")) {
            // The window as it shows on the screen, for the user guide and for looking at.
            return w->window()->grab().save(arg, "PNG") ? QStringLiteral("ok") : QStringLiteral("error cannot save ") + arg;
        }
        if (!w->isVisible() || !w->isEnabled())
            return QStringLiteral("error not visible or not enabled: ") + name;
        const QStringList n = arg.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (cmd == QLatin1String("click") || cmd == QLatin1String("clickat")) {
            const QPoint p = cmd == QLatin1String("click") || n.size() < 2 ? w->rect().center()
                                                                           : QPoint(n[0].toInt(), n[1].toInt());
            postMouse(w, QEvent::MouseButtonPress, p, Qt::LeftButton);
            postMouse(w, QEvent::MouseButtonRelease, p, Qt::NoButton);
            return QStringLiteral("ok");
        }
        if (cmd == QLatin1String("drag")) {
            if (n.size() < 4)
                return QStringLiteral("error drag needs X1 Y1 X2 Y2");
            const QPoint a(n[0].toInt(), n[1].toInt()), b(n[2].toInt(), n[3].toInt());
            postMouse(w, QEvent::MouseButtonPress, a, Qt::LeftButton);
            for (int i = 1; i <= 10; ++i)
                postMouse(w, QEvent::MouseMove, a + (b - a) * i / 10, Qt::LeftButton);
            postMouse(w, QEvent::MouseButtonRelease, b, Qt::NoButton);
            return QStringLiteral("ok");
        }
        if (cmd == QLatin1String("type")) {
            typeText(w, arg);
            return QStringLiteral("ok");
        }
        if (cmd == QLatin1String("key")) {
            const int key = keyByName(arg);
            if (!key)
                return QStringLiteral("error unknown key ") + arg;
            w->setFocus(Qt::OtherFocusReason);
            postKey(w, key, key == Qt::Key_Return ? QStringLiteral("\r") : QString());
            return QStringLiteral("ok");
        }
        if (cmd == QLatin1String("choose")) {
            auto *box = qobject_cast<QComboBox *>(w);
            if (!box)
                return QStringLiteral("error not a combo box: ") + name;
            const int target = box->findText(arg);
            if (target < 0)
                return QStringLiteral("error no item ") + arg;
            box->setFocus(Qt::OtherFocusReason);
            const int steps = target - box->currentIndex();
            for (int i = 0; i < std::abs(steps); ++i)
                postKey(box, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
            return QStringLiteral("ok");
        }
        return QStringLiteral("error unknown command ") + cmd;
    }

    QLocalServer *server_;
};

void startTestDriver()
{
    // Only a widgets program is driven (not a helper process that inherited the variables).
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    const QString base = qEnvironmentVariable("FONOLUX_TEST_DRIVER");
    if (base.isEmpty())
        return;
    // Started from the event loop: by then the program has named itself, and the socket's name
    // is one per program (the recorder starts the trimmer with the same environment).
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [base] {
            const QString name = base + QLatin1Char('.') + QCoreApplication::applicationName().toLower();
            auto *driver = new TestDriver(QCoreApplication::instance());
            if (!driver->listen(name))
                qWarning("test driver: cannot listen at %s", qPrintable(name));
        },
        Qt::QueuedConnection);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startTestDriver)
