// WebPane: the navigation veto, load events, hover tag and upkeep, on QtWebEngine or on the plain
// page view (chosen when the pane is made).
#include "WebPane.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>
#include <QVBoxLayout>

#include <chrono>
#include <unistd.h>

#ifdef FONOLUX_HAVE_WEBENGINE
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QQuickWindow>
#include <QSGRendererInterface>
#endif
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextBrowser>

namespace {

std::uint32_t steadyTickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

const char *const kSandboxVariable = "QTWEBENGINE_DISABLE_SANDBOX";

bool &sandboxOff()
{
    static bool off = false;
    return off;
}

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

// The engine can start: as root only when its sandbox was turned off by whoever started us
// (its helper processes refuse to run as root otherwise, and the program would end there).
bool engineCanRun()
{
#ifdef FONOLUX_HAVE_WEBENGINE
    return !runsAsRoot() || sandboxOff();
#else
    return false;
#endif
}

bool isWebUrl(const QUrl &url)
{
    return (url.scheme() == u"http" || url.scheme() == u"https") && !url.host().isEmpty();
}

#ifdef FONOLUX_HAVE_WEBENGINE
// Before the engine's first profile is made (when the engine reads its settings): without a
// GL context (offscreen, some remote desktops) the engine prints a page of its start parameters
// on the program's error output (QT_LOGGING_RULES still turns it back on). The sandbox setting
// is handed to the engine for the moment it starts (the caller takes it out again).
void prepareEngine()
{
    static const bool once = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.debug=false\nqt.webenginecontext.info=false"));
        return true;
    }();
    (void)once;
    if (sandboxOff())
        qputenv(kSandboxVariable, "1");
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
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override
    {
        if (!pane_)
            return false;
        const auto kind = type == NavigationTypeLinkClicked && isMainFrame ? WebPane::NavigationKind::LinkClick
                                                                           : WebPane::NavigationKind::Load;
        return !pane_->BeforeNavigate2(url, kind);
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
                if (!pane_->openOutside(url))
                    emit pane_->navigationRefused(url);
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
WebPane::EngineUse &engineUseSetting()
{
    static WebPane::EngineUse use = WebPane::EngineUse::ForSites;
    return use;
}
} // namespace

void WebPane::setEngineUse(EngineUse use)
{
    engineUseSetting() = use;
}

WebPane::EngineUse WebPane::engineUse()
{
    return engineUseSetting();
}

void WebPane::setEngineWanted(bool on)
{
    engineUseSetting() = on ? EngineUse::ForSites : EngineUse::Never;
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
    // The plain view until a page asks for the engine (Start).
    makePlainView();

    connect(qApp, &QApplication::focusChanged, this, &WebPane::focusChanged);
}

void WebPane::makePlainView()
{
    auto *browser = new QTextBrowser(this);
    browser->setFrameShape(QFrame::NoFrame);
    browser->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    browser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    browser->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    browser->setOpenLinks(false);
    browser->setOpenExternalLinks(false);
    browser->document()->setDocumentMargin(0);
    browser->viewport()->setContextMenuPolicy(Qt::NoContextMenu);
    // The page's own white, not the window's grey, around what the page leaves uncovered.
    QPalette pal = browser->palette();
    pal.setColor(QPalette::Base, Qt::white);
    browser->setPalette(pal);
    connect(browser, &QTextBrowser::highlighted, this, [this](const QUrl &url) {
        HoverTagUpdate(url.isEmpty() ? QStringLiteral("BODY") : QStringLiteral("A"));
    });
    connect(browser, &QTextBrowser::anchorClicked, this, [this, browser](const QUrl &link) {
        // Links are relative to the page (the help document beside it).
        const QUrl url = browser->source().resolved(link);
        if (!BeforeNavigate2(url, NavigationKind::LinkClick))
            loadPlain(url);
    });
    installView(browser);
    watchInput(browser);
    watchInput(browser->viewport());
}

void WebPane::makeEngineView()
{
#ifdef FONOLUX_HAVE_WEBENGINE
    delete view_;
    view_ = nullptr;
    prepareEngine();
    // A profile of the pane's own that keeps nothing on disk: no cache or cookies of the
    // vendor's page in the user's folders.
    auto *profile = new QWebEngineProfile(this);
    auto *view = new QWebEngineView(this);
    page_ = new WebPanePage(this, profile);
    view->setPage(page_);
    // The engine has read its settings: programs started from here do not see the variable.
    qunsetenv(kSandboxVariable);
    installView(view);
    // The view's input widget is its child, made now or later.
    watchInput(view_);
    for (QWidget *child : view_->findChildren<QWidget *>())
        watchInput(child);
#endif
}

void WebPane::installView(QWidget *view)
{
    view_ = view;
    view_->setContextMenuPolicy(Qt::NoContextMenu);
    view_->setObjectName(QStringLiteral("WebPaneView"));
    view_->setAccessibleName(QStringLiteral("Web page"));
    // Shown once the first document completed (no empty frame before the page).
    view_->setVisible(false);
    layout()->addWidget(view_);
}

void WebPane::watchInput(QWidget *w)
{
    w->installEventFilter(this);
}

bool WebPane::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ChildAdded: {
        // The engine's view takes its input through a child widget made after the view.
        QObject *child = static_cast<QChildEvent *>(event)->child();
        if (watched == view_ && child->isWidgetType())
            child->installEventFilter(this);
        break;
    }
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            UserClicked();
        break;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)
            UserClicked();
        break;
    }
    case QEvent::Leave:
        // The mouse is no longer over what the page reported.
        if (watched != view_ || !usesEngine())
            Exit();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
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
    return engineUseSetting() != EngineUse::Never;
#else
    return false;
#endif
}

bool WebPane::canShowSites()
{
    // An outside site never runs in an engine without its sandbox.
    return hasWebEngine() && !runsAsRoot();
}

bool WebPane::wantsEngine(const QUrl &url) const
{
    if (!hasWebEngine() || !engineCanRun())
        return false;
    if (engineUseSetting() == EngineUse::Always)
        return true;
    return isWebUrl(url) && canShowSites();
}

bool WebPane::sandboxOffRequested()
{
    return sandboxOff();
}

void WebPane::prepareEnvironment()
{
    if (qEnvironmentVariableIsSet(kSandboxVariable))
        sandboxOff() = true;
    qunsetenv(kSandboxVariable);
}

void WebPane::setHelpDocument(const QString &path)
{
    helpDocument_ = path;
}

bool WebPane::mayLeavePane(const QUrl &url) const
{
    if (isWebUrl(url))
        return true;
    if (!url.isLocalFile() || helpDocument_.isEmpty() || url.hasQuery())
        return false;
    const QFileInfo wanted(helpDocument_), asked(url.toLocalFile());
    // The same path, or the same file reached through a link.
    if (QDir::cleanPath(wanted.absoluteFilePath()) == QDir::cleanPath(asked.absoluteFilePath()))
        return true;
    return !wanted.canonicalFilePath().isEmpty() && wanted.canonicalFilePath() == asked.canonicalFilePath();
}

bool WebPane::mayLoadInPane(const QUrl &url)
{
    const QString scheme = url.scheme();
    return isWebUrl(url) || url.isLocalFile() || scheme == u"about" || scheme == u"data";
}

bool WebPane::usesEngine() const
{
    return page_ != nullptr;
}

void WebPane::prepareApplication()
{
    prepareEnvironment();
#ifdef FONOLUX_HAVE_WEBENGINE
    // The engine's view on the software scene graph: the window stays on the raster backing
    // store (no OpenGL composition of the whole window, no GL needed at all), and without a GL
    // context to share the application makes none (on a display without GL that failed loudly).
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, false);
#endif
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
    if (!BeforeNavigate2(url))
        loadPlain(url);
}

void WebPane::loadPlain(const QUrl &url)
{
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
    if (!page_ && !hasDocument_ && wantsEngine(url))
        makeEngineView();
    PaneUrl = url;
    DocLoaded = false;
    WebTick = now();
    navigate(PaneUrl);
}

bool WebPane::BeforeNavigate2(const QUrl &url, NavigationKind kind)
{
    const std::uint32_t t = now();
    // The first document and everything within 6 s of the last allowed navigation (redirects,
    // frames, a refresh) load in the pane; each extends the window. Other schemes never load:
    // the engine would hand them to the desktop.
    if (!hasDocument_ || t - WebTick < NavigationWindowMs) {
        if (!mayLoadInPane(url)) {
            emit navigationRefused(url);
            return true;
        }
        setPaneEnabled(false);
        WebTick = t;
        return false;
    }
    // A mouse-over report still on its way decides what the user clicked.
    QCoreApplication::processEvents();
    if (kind == NavigationKind::LinkClick && openOutside(url)) {
        setPaneEnabled(true);
        return true;
    }
    emit navigationRefused(url);
    return true;
}

bool WebPane::openOutside(const QUrl &url)
{
    // The user's own click on a link (a script's click brings no credit), one open per click.
    if (!isLinkTag(HoverTag) || !clickCredit_ || now() - clickTick_ > ClickCreditMs || !mayLeavePane(url))
        return false;
    clickCredit_ = false;
    opener_(url);
    emit linkOpened(url);
    return true;
}

void WebPane::UserClicked()
{
    clickCredit_ = true;
    clickTick_ = now();
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
