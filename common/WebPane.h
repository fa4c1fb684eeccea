// The small web pane both programs show: a display-only page whose links open in the user's
// default browser.
//
// The pane shows one page (a file shipped beside the program, or a page of a configured site).
// It keeps the page itself from navigating away: every navigation within 6 s of the previous
// allowed one (the first load, its redirects and frames, a refresh) goes ahead inside the pane;
// after that a navigation is only taken when the mouse is over a link, picture or frame, and then
// it goes to the default browser while the pane keeps its page. Anything else (a script moving
// the page on its own, a navigation after the focus left the pane) is refused silently.
//
// The element under the mouse is reported by a small script the pane injects into every page.
// No context menu, no scroll bars, no border, no text selection, no error pages.
//
// Built on QtWebEngine when the build has it (FONOLUX_HAVE_WEBENGINE) and it is wanted; otherwise
// a plain page view shows local pages, and clicked links go to the default browser the same way.
//
// Run as root, the engine's helper processes go without their sandbox (they refuse to start
// otherwise); a user's pane keeps it.
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

    // True when panes made from now on use QtWebEngine (false: the plain page view).
    static bool hasWebEngine();
    // Whether panes made from now on use QtWebEngine when the build has it (default true).
    // The plain view needs no helper processes: windows that are not about the page (tests of
    // other parts) turn the engine off.
    static void setEngineWanted(bool on);
    // True when this pane runs on QtWebEngine.
    bool usesEngine() const;
    // To be called before the QApplication is created: QtWebEngine wants shared GL contexts.
    static void prepareApplication();

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

    // The veto: decides whether the pane itself may go to `url`. Returns Cancel.
    bool BeforeNavigate2(const QUrl &url);
    // A document finished loading (the page is shown, DocLoaded := true).
    void DocumentComplete();
    // A load failed; the pane shows no error page.
    void NavigateError(const QUrl &url);
    // The focus left the pane: HoverTag := "Dummy".
    void Exit();
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

private:
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
};
