// The small web pane both programs show: a display-only page whose links open in the user's
// default browser.
//
// The pane shows one page (a file shipped beside the program, or a page of a configured site).
// It keeps the page itself from navigating away: every navigation within 6 s of the previous
// allowed one (the first load, its redirects and frames, a refresh) goes ahead inside the pane;
// after that only a link the user really clicked (a mouse click or a key press in the pane, one
// open per click) in the page's main frame, with the mouse over a link, picture or frame, leaves
// the pane, and then it goes to the default browser while the pane keeps its page. Only http and
// https addresses leave, and file: for exactly the help document the program names. Anything
// else (a script moving the page or clicking a link on its own, a navigation after the mouse or
// the focus left the pane, another scheme) is refused silently.
//
// The view. A local page is shown by a plain page view (a text browser: no helper processes, no
// GL). A web site needs QtWebEngine; the pane then makes the engine's view on Qt Quick's
// software scene graph, so that the window is never composed through OpenGL (software GL made
// every repaint of the window expensive) and the pane works on a display without GL. The view
// is chosen when the pane starts on its page.
//
// Run as root, the engine's helper processes would need their sandbox turned off; a site is
// then not shown at all (canShowSites() is false) and the engine runs only when whoever started
// the program turned the sandbox off (QTWEBENGINE_DISABLE_SANDBOX, taken out of the environment
// at start so that programs started from here never inherit it).
//
// The element under the mouse is reported by a small script the pane injects into every page.
// No context menu, no scroll bars, no border, no text selection, no error pages.
//
// GUI thread only. Handlers pump events (as the window's waits do), so they tolerate re-entry.
#pragma once

#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>

class WebPanePage;

class WebPane : public QWidget {
    Q_OBJECT
public:
    // A millisecond tick count compared by unsigned subtraction (tests inject their own).
    using Clock = std::function<std::uint32_t()>;
    // Opens an address outside the pane (in the default browser).
    using Opener = std::function<void(const QUrl &)>;

    // Navigations within this many ms of WebTick go ahead inside the pane.
    static constexpr std::uint32_t NavigationWindowMs = 6000;
    // The upkeep reloads the page when this many ms have passed since WebTick.
    static constexpr std::uint32_t RefreshIntervalMs = 120000;

    explicit WebPane(QWidget *parent = nullptr);
    ~WebPane() override;

    // Which pages panes started from now on show on QtWebEngine: none, web sites only (the
    // default), or every page (tests of the engine on local pages).
    enum class EngineUse { Never, ForSites, Always };
    static void setEngineUse(EngineUse use);
    static EngineUse engineUse();
    // setEngineUse(ForSites) or (Never): windows that are not about the page turn it off.
    static void setEngineWanted(bool on);
    // True when the build has QtWebEngine and panes may use it.
    static bool hasWebEngine();
    // True when a pane started on a web site shows it: the engine is there and the program does
    // not run as root.
    static bool canShowSites();
    // True when this pane runs on QtWebEngine.
    bool usesEngine() const;
    // To be called before the QApplication is created: the engine's scene graph and the sandbox
    // setting (prepareEnvironment) are settled before anything reads them.
    static void prepareApplication();
    // Takes QTWEBENGINE_DISABLE_SANDBOX out of the environment (remembering that it was given),
    // so that programs started from here (the trimmer, the browser opener) never inherit it.
    static void prepareEnvironment();
    // True when QTWEBENGINE_DISABLE_SANDBOX was given to the program.
    static bool sandboxOffRequested();

    // The one local file that may leave the pane (the shipped help document); "" for none.
    void setHelpDocument(const QString &path);
    // Whether a link to url may be handed to the opener: http or https with a host, or file: for
    // exactly the help document.
    bool mayLeavePane(const QUrl &url) const;
    // Whether url may load inside the pane (http, https, file, about, data).
    static bool mayLoadInPane(const QUrl &url);
    // How long a real click in the pane allows one link to open.
    static constexpr std::uint32_t ClickCreditMs = 2000;

    void setClock(Clock clock);
    std::uint32_t now() const;
    // Where link clicks go; the default opens the address with QDesktopServices.
    void setOpener(Opener opener);

    // ---- state (names as the window's controller knows them) ----
    QUrl PaneUrl;                 // the page the pane shows and returns to
    QString HoverTag;             // tag name under the mouse, or the markers "dumy" / "Dummy"
    std::uint32_t WebTick = 0;    // last allowed navigation or upkeep reload
    bool DocLoaded = false;       // a load completed since the last upkeep navigation

    // Start: DocLoaded := false, WebTick := now, navigate to PaneUrl.
    void Start(const QUrl &url);
    // The upkeep from the window's 50 ms timer. `mayReload`: the pane's page is visible and the
    // window is not minimised. `renavigate`: the page was hidden since the last upkeep
    // navigation, so the address is loaded anew rather than refreshed; cleared when acted on.
    void Upkeep(bool mayReload, bool &renavigate);

    // What asks for a navigation: a load of any kind (typed, reload, redirect, a script, a form,
    // history) or a link click in the page's main frame.
    enum class NavigationKind { Load, LinkClick };
    // The veto: decides whether the pane itself may go to `url`. Returns Cancel.
    bool BeforeNavigate2(const QUrl &url, NavigationKind kind = NavigationKind::Load);
    // A document finished loading (the page is shown, DocLoaded := true).
    void DocumentComplete();
    // A load failed; the pane shows no error page.
    void NavigateError(const QUrl &url);
    // The focus or the mouse left the pane: HoverTag := "Dummy".
    void Exit();
    // A real click (mouse button released, or Enter or Space pressed) in the pane: allows one
    // link to open within ClickCreditMs.
    void UserClicked();
    // The page script reports the tag name under the mouse.
    void HoverTagUpdate(const QString &tag);

    bool hasDocument() const { return hasDocument_; }
    // The address the pane shows (or is loading).
    QUrl currentUrl() const;
    void navigate(const QUrl &url);
    void refresh();
    // The widget that takes the pane's mouse and keyboard input (for tests and focus checks).
    QWidget *inputWidget() const;
    // The web view (a QWebEngineView) or the plain view (a QTextBrowser).
    QWidget *view() const { return view_; }

signals:
    void documentCompleted();
    void navigateFailed(const QUrl &url);
    void hoverTagChanged(const QString &tag);
    // A link the user clicked went to the opener.
    void linkOpened(const QUrl &url);
    // A navigation the pane refused.
    void navigationRefused(const QUrl &url);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void makePlainView();
    void makeEngineView();
    void installView(QWidget *view);
    void watchInput(QWidget *w);
    bool wantsEngine(const QUrl &url) const;
    void loadPlain(const QUrl &url);
    // Hands url to the opener when the rules let a link leave; true when it went.
    bool openOutside(const QUrl &url);
    void setPaneEnabled(bool on);
    void pumpEvents(int ms);
    void focusChanged(QWidget *old, QWidget *now);
    friend class WebPanePage;

    QWidget *view_ = nullptr;
    WebPanePage *page_ = nullptr;
    Clock clock_;
    Opener opener_;
    bool hasDocument_ = false;
    bool loadFailed_ = false; // the last load failed: the upkeep loads PaneUrl anew
    bool inUpkeep_ = false;
    QString helpDocument_;
    bool clickCredit_ = false;
    std::uint32_t clickTick_ = 0;
};
