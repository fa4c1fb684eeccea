// WindowExposure: show, hide, minimise and expose events, and the X server's visibility reports.
#include "WindowExposure.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QHash>
#include <QWidget>
#include <QWindow>

#ifdef FONOLUX_HAVE_XCB
#include <xcb/xcb.h>
#endif

// One filter for the whole program: the X server's visibility reports go to the watches of
// the window they concern.
class X11VisibilityFilter : public QAbstractNativeEventFilter {
public:
    static X11VisibilityFilter *instance()
    {
        static X11VisibilityFilter *filter = [] {
            auto *f = new X11VisibilityFilter;
            QCoreApplication::instance()->installNativeEventFilter(f);
            return f;
        }();
        return filter;
    }

    // Asks the X server for visibility reports on the window (keeping the events Qt chose) and
    // sends them to watch. False off X11.
    bool watch(WindowExposure *watch, QWindow *window)
    {
#ifdef FONOLUX_HAVE_XCB
        auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!x11 || !x11->connection())
            return false;
        xcb_connection_t *c = x11->connection();
        const auto id = static_cast<xcb_window_t>(window->winId());
        xcb_get_window_attributes_reply_t *attrs =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, id), nullptr);
        if (!attrs)
            return false;
        const std::uint32_t mask = attrs->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
        std::free(attrs);
        xcb_change_window_attributes(c, id, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
        watches_.insert(id, watch);
        return true;
#else
        (void)watch;
        (void)window;
        return false;
#endif
    }

    void forget(WindowExposure *watch) { watches_.remove(watch->windowId_, watch); }

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
#ifdef FONOLUX_HAVE_XCB
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_VISIBILITY_NOTIFY)
            return false;
        const auto *v = reinterpret_cast<const xcb_visibility_notify_event_t *>(event);
        // Copied first: a watch may go away while it is told.
        const QList<WindowExposure *> told = watches_.values(v->window);
        for (WindowExposure *w : told)
            w->setCovered(v->state == XCB_VISIBILITY_FULLY_OBSCURED);
#else
        (void)type;
        (void)message;
#endif
        return false;
    }

private:
    QMultiHash<unsigned long, WindowExposure *> watches_;
};

WindowExposure::WindowExposure(QWidget *widget) : QObject(widget), widget_(widget)
{
    widget_->installEventFilter(this);
    attach();
    reevaluate();
}

WindowExposure::~WindowExposure()
{
    if (windowId_)
        X11VisibilityFilter::instance()->forget(this);
}

void WindowExposure::attach()
{
    QWidget *top = widget_->window();
    if (top != top_) {
        if (top_)
            top_->removeEventFilter(this);
        top_ = top;
        if (top != widget_)
            top->installEventFilter(this);
    }
    QWindow *window = top->windowHandle();
    if (window == window_)
        return;
    if (window_)
        window_->removeEventFilter(this);
    if (windowId_)
        X11VisibilityFilter::instance()->forget(this);
    windowId_ = 0;
    covered_ = unexposed_ = false;
    window_ = window;
    if (!window)
        return;
    window->installEventFilter(this);
    if (QGuiApplication::platformName() == u"xcb" && X11VisibilityFilter::instance()->watch(this, window))
        windowId_ = window->winId();
}

bool WindowExposure::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        // Shown by the program: on screen until the window system says otherwise (its first
        // expose may come later).
        if (watched == top_ && !event->spontaneous())
            unexposed_ = false;
        attach();
        reevaluate();
        break;
    case QEvent::Hide:
    case QEvent::WindowStateChange:
    case QEvent::ParentChange:
    case QEvent::WinIdChange:
        if (watched != window_)
            attach();
        reevaluate();
        break;
    case QEvent::Expose:
        if (watched == window_) {
            // Seen at all again: the X server reports covering anew when it happens.
            unexposed_ = !window_->isExposed();
            if (!unexposed_)
                covered_ = false;
            // Told after the window handled it, so that isExposed() and the widgets agree.
            QMetaObject::invokeMethod(this, &WindowExposure::reevaluate, Qt::QueuedConnection);
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void WindowExposure::setCovered(bool covered)
{
    covered_ = covered;
    reevaluate();
}

void WindowExposure::reevaluate()
{
    const bool now = !covered_ && !unexposed_ && widget_->isVisible() && !widget_->window()->isMinimized();
    if (now == onScreen_)
        return;
    onScreen_ = now;
    emit onScreenChanged(now);
}
