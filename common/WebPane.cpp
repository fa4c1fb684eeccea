// WebPane: the navigation veto, load events, hover tag and upkeep, on QtWebEngine or on the plain
// page view (chosen when the pane is made).
#include "WebPane.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>
#include <QVBoxLayout>

#include <chrono>
#include <cstdio>
#include <unistd.h>

#ifdef FONOLUX_HAVE_WEBENGINE
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>
#endif
#include <QTextBrowser>

namespace {

std::uint32_t steadyTickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

#ifdef FONOLUX_HAVE_WEBENGINE
// Before the engine's first profile is made (when the engine reads its settings):
// - its helper processes refuse to start as root with their sandbox on, and the program would
//   end there. Run as root (a fresh machine, a container), the pane goes without it; for
//   everyone else the sandbox stays;
// - without a GL context (offscreen, some remote desktops) the engine prints a page of its start
//   parameters on the program's error output; QT_LOGGING_RULES still turns it back on.
void prepareEngine()
{
    static const bool once = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.debug=false\nqt.webenginecontext.info=false"));
        if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
            std::fputs("Running as root: the web pane runs without its sandbox.\n", stderr);
        }
        return true;
    }();
    (void)once;
}
#endif

bool isLinkTag(const QString &tag)
{
    const QString t = tag.toLower();
    return t == u"iframe" || t == u"href" || t == u"a" || t == u"img";
}

} // namespace

#ifdef FONOLUX_HAVE_WEBENGINE

// The page: hands every navigation to the pane's veto and picks the hover reports out of the
// console messages. The reports carry a random prefix that only the injected script knows (it
// runs in a world of its own, out of the page's reach), so a page cannot fake a mouse-over.
class WebPanePage : public QWebEnginePage {
public:
    WebPanePage(WebPane *pane, QWebEngineProfile *profile)
        : QWebEnginePage(profile, pane), pane_(pane),
          prefix_(QStringLiteral("fonolux-hover-%1:").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')))
    {
        settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
        settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
        settings()->setAttribute(QWebEngineSettings::FocusOnNavigationEnabled, false);
        settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        setBackgroundColor(Qt::white);

        // Reports the tag under the mouse (a link's own tag when the mouse is over something
        // inside the link, so a link with formatted text still counts as a link), and keeps the
        // user from selecting or dragging text and from opening the page's own menus.
        QWebEngineScript script;
        script.setName(QStringLiteral("fonolux-pane"));
        script.setInjectionPoint(QWebEngineScript::DocumentCreation);
        script.setWorldId(QWebEngineScript::ApplicationWorld);
        script.setRunsOnSubFrames(true);
        script.setSourceCode(QStringLiteral(R"JS(
(function () {
  var prefix = '%1';
  document.addEventListener('mouseover', function (e) {
    var t = e.target, tag = (t && t.tagName) ? t.tagName : '';
    if (t && t.closest) { var a = t.closest('a'); if (a) tag = a.tagName; }
    console.log(prefix + tag);
  }, true);
  var stop = function (e) { e.preventDefault(); };
  document.addEventListener('selectstart', stop, true);
  document.addEventListener('dragstart', stop, true);
  document.addEventListener('contextmenu', stop, true);
})();
)JS").arg(prefix_));
        scripts().insert(script);

        connect(this, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo &info) {
            if (!pane_)
                return;
            switch (info.status()) {
            case QWebEngineLoadingInfo::LoadSucceededStatus:
                pane_->DocumentComplete();
                break;
            case QWebEngineLoadingInfo::LoadFailedStatus:
                // A navigation the veto refused ends as an aborted load: not an error.
                if (info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain ||
                    (info.errorDomain() == QWebEngineLoadingInfo::ConnectionErrorDomain && info.errorCode() == -3))
                    break;
                pane_->NavigateError(info.url());
                break;
            default:
                break;
            }
        });
    }

    // The pane goes before its page; nothing may reach it after that.
    void detach() { pane_ = nullptr; }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType, bool) override
    {
        return pane_ && !pane_->BeforeNavigate2(url);
    }

    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &message, int,
                                  const QString &) override
    {
        if (pane_ && message.startsWith(prefix_))
            pane_->HoverTagUpdate(message.mid(prefix_.size()));
    }

    // A link that wants a new window: the address goes through the same veto as the pane's own
    // navigations; the window itself is never shown.
    QWebEnginePage *createWindow(WebWindowType) override
    {
        if (!pane_)
            return nullptr;
        auto *popup = new PopupCatcher(pane_, profile());
        return popup;
    }

private:
    // Receives the first navigation of a would-be new window and sends it through the veto's
    // link rule; then goes away.
    class PopupCatcher : public QWebEnginePage {
    public:
        PopupCatcher(WebPane *pane, QWebEngineProfile *profile) : QWebEnginePage(profile, pane), pane_(pane) {}

    protected:
        bool acceptNavigationRequest(const QUrl &url, NavigationType, bool) override
        {
            if (pane_ && !done_) {
                done_ = true;
                if (isLinkTag(pane_->HoverTag)) {
                    pane_->opener_(url);
                    emit pane_->linkOpened(url);
                } else {
                    emit pane_->navigationRefused(url);
                }
            }
            deleteLater();
            return false;
        }

    private:
        QPointer<WebPane> pane_;
        bool done_ = false;
    };

    QPointer<WebPane> pane_;
    QString prefix_;
};

#else

class WebPanePage {};

#endif

namespace {
bool &engineWanted()
{
    static bool wanted = true;
    return wanted;
}
} // namespace

void WebPane::setEngineWanted(bool on)
{
    engineWanted() = on;
}

WebPane::WebPane(QWidget *parent) : QWidget(parent)
{
    clock_ = steadyTickCount;
    opener_ = [](const QUrl &url) { QDesktopServices::openUrl(url); };

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

#ifdef FONOLUX_HAVE_WEBENGINE
    if (engineWanted()) {
        prepareEngine();
        // A profile of the pane's own that keeps nothing on disk: no cache or cookies of the
        // vendor's page in the user's folders.
        auto *profile = new QWebEngineProfile(this);
        auto *view = new QWebEngineView(this);
        page_ = new WebPanePage(this, profile);
        view->setPage(page_);
        view_ = view;
    }
#endif
    if (!page_) {
        auto *browser = new QTextBrowser(this);
        browser->setFrameShape(QFrame::NoFrame);
        browser->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        browser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        browser->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
        browser->setOpenLinks(false);
        browser->setOpenExternalLinks(false);
        browser->viewport()->setContextMenuPolicy(Qt::NoContextMenu);
        connect(browser, &QTextBrowser::highlighted, this, [this](const QUrl &url) {
            HoverTagUpdate(url.isEmpty() ? QStringLiteral("BODY") : QStringLiteral("A"));
        });
        connect(browser, &QTextBrowser::anchorClicked, this, [this](const QUrl &url) { navigate(url); });
        view_ = browser;
    }
    view_->setContextMenuPolicy(Qt::NoContextMenu);
    view_->setObjectName(QStringLiteral("WebPaneView"));
    // Shown once the first document completed (no empty frame before the page).
    view_->setVisible(false);
    layout->addWidget(view_);

    connect(qApp, &QApplication::focusChanged, this, &WebPane::focusChanged);
}

WebPane::~WebPane()
{
#ifdef FONOLUX_HAVE_WEBENGINE
    if (!page_)
        return;
    // The view and the page go before the profile they use.
    page_->detach();
    delete view_;
    view_ = nullptr;
    delete page_;
    page_ = nullptr;
#endif
}

bool WebPane::hasWebEngine()
{
#ifdef FONOLUX_HAVE_WEBENGINE
    return engineWanted();
#else
    return false;
#endif
}

bool WebPane::usesEngine() const
{
    return page_ != nullptr;
}

void WebPane::prepareApplication()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void WebPane::setClock(Clock clock)
{
    clock_ = clock ? std::move(clock) : Clock(steadyTickCount);
}

std::uint32_t WebPane::now() const
{
    return clock_();
}

void WebPane::setOpener(Opener opener)
{
    if (opener)
        opener_ = std::move(opener);
}

QWidget *WebPane::inputWidget() const
{
#ifdef FONOLUX_HAVE_WEBENGINE
    if (page_)
        return view_->focusProxy() ? view_->focusProxy() : view_;
#endif
    return static_cast<QTextBrowser *>(view_)->viewport();
}

QUrl WebPane::currentUrl() const
{
#ifdef FONOLUX_HAVE_WEBENGINE
    if (page_)
        return page_->url();
#endif
    return static_cast<QTextBrowser *>(view_)->source();
}

void WebPane::navigate(const QUrl &url)
{
#ifdef FONOLUX_HAVE_WEBENGINE
    if (page_) {
        page_->load(url);
        return;
    }
#endif
    // The plain view applies the veto itself and shows local pages only.
    if (BeforeNavigate2(url))
        return;
    auto *browser = static_cast<QTextBrowser *>(view_);
    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isReadable()) {
        browser->setSource(url);
        // Reported later, as the engine would: callers finish their step first.
        QMetaObject::invokeMethod(this, &WebPane::DocumentComplete, Qt::QueuedConnection);
    } else {
        QMetaObject::invokeMethod(this, [this, url] { NavigateError(url); }, Qt::QueuedConnection);
    }
}

void WebPane::refresh()
{
#ifdef FONOLUX_HAVE_WEBENGINE
    if (page_) {
        page_->triggerAction(QWebEnginePage::Reload);
        return;
    }
#endif
    if (BeforeNavigate2(currentUrl()))
        return;
    static_cast<QTextBrowser *>(view_)->reload();
    QMetaObject::invokeMethod(this, &WebPane::DocumentComplete, Qt::QueuedConnection);
}

void WebPane::setPaneEnabled(bool on)
{
    view_->setEnabled(on);
}

void WebPane::pumpEvents(int ms)
{
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    } while (t.elapsed() < ms);
}

void WebPane::Start(const QUrl &url)
{
    PaneUrl = url;
    DocLoaded = false;
    WebTick = now();
    navigate(PaneUrl);
}

bool WebPane::BeforeNavigate2(const QUrl &url)
{
    const std::uint32_t t = now();
    // The first document and everything within 6 s of the last allowed navigation (redirects,
    // frames, a refresh) load in the pane; each extends the window.
    if (!hasDocument_ || t - WebTick < NavigationWindowMs) {
        setPaneEnabled(false);
        WebTick = t;
        return false;
    }
    // A mouse-over report still on its way decides what the user clicked.
    QCoreApplication::processEvents();
    if (isLinkTag(HoverTag)) {
        opener_(url);
        setPaneEnabled(true);
        emit linkOpened(url);
        return true;
    }
    emit navigationRefused(url);
    return true;
}

void WebPane::DocumentComplete()
{
    hasDocument_ = true;
    loadFailed_ = false;
    view_->setVisible(true);
    DocLoaded = true;
    QCoreApplication::processEvents();
    emit documentCompleted();
}

void WebPane::NavigateError(const QUrl &url)
{
    // No error page (the engine's is switched off). The load counts as done, so the upkeep
    // tries the address again later instead of leaving a pane that never loaded for good.
    DocLoaded = true;
    loadFailed_ = true;
    emit navigateFailed(url);
}

void WebPane::Exit()
{
    HoverTag = QStringLiteral("Dummy");
}

void WebPane::HoverTagUpdate(const QString &tag)
{
    HoverTag = tag;
    emit hoverTagChanged(tag);
}

void WebPane::focusChanged(QWidget *old, QWidget *now)
{
    auto inside = [this](QWidget *w) { return w && (w == this || isAncestorOf(w)); };
    if (inside(old) && !inside(now))
        Exit();
}

void WebPane::Upkeep(bool mayReload, bool &renavigate)
{
    if (inUpkeep_)
        return;
    const std::uint32_t t = now();
    if (t - WebTick < NavigationWindowMs) {
        setPaneEnabled(true);
        HoverTag = QStringLiteral("dumy");
    }
    if (t - WebTick <= RefreshIntervalMs)
        return;
    WebTick = t;
    if (!DocLoaded || !mayReload)
        return;
    inUpkeep_ = true;
    QCoreApplication::processEvents();
    if (!hasDocument_ || renavigate || loadFailed_) {
        renavigate = false;
        navigate(PaneUrl);
        DocLoaded = false;
        QCoreApplication::processEvents();
        setPaneEnabled(false);
    } else {
        refresh();
        pumpEvents(10);
        setPaneEnabled(false);
    }
    inUpkeep_ = false;
}
