// The web pane on the real engine (offscreen): pages from a temporary folder and from a loopback
// HTTP server, the navigation window driven by an injected clock, link clicks handed to the
// desktop's URL handlers (replaced by a recorder), script navigations refused.
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "WebPane.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTextBrowser>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

QApplication &testApp()
{
    static int argc = 1;
    static char name[] = "webpane-test";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        WebPane::prepareApplication();
        return new QApplication(argc, argv);
    }();
    return *app;
}

bool spinUntil(const std::function<bool()> &done, int timeoutMs = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

void spinFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Records what the desktop was asked to open, in place of the default browser.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    UrlRecorder()
    {
        for (const char *scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~UrlRecorder() override
    {
        for (const char *scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// A link (its text partly bold) at the top, plain text below, each 40 pixels high; a second page
// beside it.
const char *const kPage = R"(<!DOCTYPE html><html><head><title>Pane</title>
<style>body{margin:0;font:14px sans-serif} #link,#plain{display:block;height:40px}</style></head>
<body><a id="link" href="http://127.0.0.1:9/elsewhere.html">Go <b id="bold">elsewhere</b></a>
<div id="plain">Plain words to select</div>
<div style="height:2000px">tall</div></body></html>)";
const char *const kOther = R"(<!DOCTYPE html><html><head><title>Other</title></head><body>other</body></html>)";

class WebPaneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testApp();
        // These tests are about the engine, on local pages too.
        WebPane::setEngineUse(WebPane::EngineUse::Always);
        writeFile("page.html", kPage);
        writeFile("other.html", kOther);
        window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(window.get());
        pane = new WebPane(window.get());
        pane->setFixedSize(256, 198);
        pane->setClock([this] { return fakeNow; });
        layout->addWidget(pane);
        edit = new QLineEdit(window.get());
        layout->addWidget(edit);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void writeFile(const char *name, const char *text)
    {
        QFile f(QString::fromStdString((dir / name).string()));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    QUrl fileUrl(const char *name) const { return QUrl::fromLocalFile(QString::fromStdString((dir / name).string())); }

    // Starts the pane on url, waits for the document and gives it the window timer's next tick
    // (which enables the pane again).
    void startOn(const QUrl &url)
    {
        QSignalSpy done(pane, &WebPane::documentCompleted);
        pane->Start(url);
        ASSERT_TRUE(spinUntil([&] { return done.count() > 0; }));
        tick();
        ASSERT_TRUE(pane->view()->isEnabled());
    }
    void tick()
    {
        bool renavigate = false;
        pane->Upkeep(true, renavigate);
    }

    QVariant js(const QString &script)
    {
        QVariant result;
        bool got = false;
        runJs(script, [&](const QVariant &v) {
            result = v;
            got = true;
        });
        EXPECT_TRUE(spinUntil([&] { return got; }, 10000)) << script.toStdString();
        return result;
    }
    void runJs(const QString &script, const std::function<void(const QVariant &)> &done);

    void mouseMoveTo(QPoint p)
    {
        QWidget *w = pane->inputWidget();
        QMouseEvent ev(QEvent::MouseMove, p, w->mapToGlobal(p), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &ev);
    }
    void mouseButton(QEvent::Type type, QPoint p)
    {
        QWidget *w = pane->inputWidget();
        const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
        QMouseEvent ev(type, p, w->mapToGlobal(p), Qt::LeftButton, held, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &ev);
    }
    // Moves the mouse to p and waits until the page reported the tag there.
    void hoverAt(QPoint p, const QString &expectTag)
    {
        pane->HoverTag.clear();
        mouseMoveTo(p + QPoint(1, 1));
        mouseMoveTo(p);
        ASSERT_TRUE(spinUntil([&] { return pane->HoverTag == expectTag; }, 10000))
            << "hover tag " << pane->HoverTag.toStdString();
    }
    void click(QPoint p)
    {
        mouseButton(QEvent::MouseButtonPress, p);
        mouseButton(QEvent::MouseButtonRelease, p);
    }

    testsupport::TempDir dir;
    std::uint32_t fakeNow = 5000000;
    std::unique_ptr<QWidget> window;
    WebPane *pane = nullptr;
    QLineEdit *edit = nullptr;
    UrlRecorder browser;
};

} // namespace

#ifdef FONOLUX_HAVE_WEBENGINE
#include <QWebEngineView>
void WebPaneTest::runJs(const QString &script, const std::function<void(const QVariant &)> &done)
{
    static_cast<QWebEngineView *>(pane->view())->page()->runJavaScript(script, done);
}

TEST_F(WebPaneTest, FirstPageLoadsShownWithoutScrollBarsOrSelectableText)
{
    EXPECT_FALSE(pane->view()->isVisible()); // nothing shown before a document
    startOn(fileUrl("page.html"));
    EXPECT_TRUE(pane->hasDocument());
    EXPECT_TRUE(pane->DocLoaded);
    EXPECT_TRUE(pane->view()->isVisible());
    EXPECT_EQ(js(QStringLiteral("document.title")).toString(), QStringLiteral("Pane"));
    // A page taller than the pane: no scroll bar takes room from it.
    EXPECT_EQ(js(QStringLiteral("window.innerWidth - document.documentElement.clientWidth")).toInt(), 0);

    // Dragging across the text selects nothing.
    spinUntil([&] { return pane->inputWidget() != pane->view(); }, 5000);
    mouseButton(QEvent::MouseButtonPress, {2, 50});
    for (int x = 10; x <= 200; x += 20)
        mouseMoveTo({x, 60});
    mouseButton(QEvent::MouseButtonRelease, {200, 60});
    spinFor(300);
    EXPECT_EQ(js(QStringLiteral("window.getSelection().toString()")).toString(), QString());
    EXPECT_TRUE(browser.opened.isEmpty());
    QWidget *shot = window.get();
    const QString shots = qEnvironmentVariable("FONOLUX_SCREENSHOTS", QStringLiteral("/tmp"));
    shot->grab().save(shots + QStringLiteral("/webpane.png"));
}

TEST_F(WebPaneTest, RedirectsWithinTheFirstSecondsCompleteInThePane)
{
    // /start answers with a 302 to /middle, whose script moves on to /final.
    testsupport::ScriptedServer server([](int s, testsupport::ScriptedServer &) {
        const std::string req = testsupport::ScriptedServer::readRequest(s);
        std::string body, head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
        if (req.rfind("GET /start ", 0) == 0) {
            head = "HTTP/1.1 302 Found\r\nLocation: /middle\r\n";
        } else if (req.rfind("GET /middle ", 0) == 0) {
            body = "<html><head><title>Middle</title><script>setTimeout(function(){location.replace('/final')},300)"
                   "</script></head><body>moving</body></html>";
        } else if (req.rfind("GET /final ", 0) == 0) {
            body = "<html><head><title>Final</title></head><body>arrived</body></html>";
        } else {
            head = "HTTP/1.1 404 Not Found\r\n";
        }
        head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        testsupport::ScriptedServer::sendAll(s, head + body);
    });
    const QUrl start(QString::fromStdString(server.url("/start")));
    QSignalSpy done(pane, &WebPane::documentCompleted);
    pane->Start(start);
    ASSERT_TRUE(spinUntil([&] { return done.count() >= 1; }));
    fakeNow += 2000; // the script's redirect comes two seconds after the load began
    ASSERT_TRUE(spinUntil([&] { return pane->currentUrl().path() == QStringLiteral("/final") && done.count() >= 2; }))
        << pane->currentUrl().toString().toStdString();
    EXPECT_EQ(js(QStringLiteral("document.title")).toString(), QStringLiteral("Final"));
    EXPECT_TRUE(browser.opened.isEmpty());
    EXPECT_EQ(pane->WebTick, fakeNow); // each allowed navigation extends the window
}

TEST_F(WebPaneTest, LinkClickedTenSecondsAfterLoadOpensInBrowserAndPaneKeepsItsPage)
{
    startOn(fileUrl("page.html"));
    fakeNow += 10000;
    tick();
    ASSERT_TRUE(pane->view()->isEnabled());

    // The mouse over the bold part of the link counts as over the link.
    hoverAt({60, 20}, QStringLiteral("A"));
    click({60, 20});
    ASSERT_TRUE(spinUntil([&] { return !browser.opened.isEmpty(); }));
    EXPECT_EQ(browser.opened.value(0), QUrl(QStringLiteral("http://127.0.0.1:9/elsewhere.html")));
    spinFor(300);
    EXPECT_EQ(pane->currentUrl(), fileUrl("page.html"));
    EXPECT_EQ(js(QStringLiteral("document.title")).toString(), QStringLiteral("Pane"));
    EXPECT_EQ(browser.opened.size(), 1);
}

TEST_F(WebPaneTest, ScriptNavigationWithMouseOverPlainTextIsRefused)
{
    startOn(fileUrl("page.html"));
    fakeNow += 10000;
    hoverAt({20, 60}, QStringLiteral("DIV"));
    QSignalSpy refused(pane, &WebPane::navigationRefused);
    runJs(QStringLiteral("location.href = 'other.html'"), [](const QVariant &) {});
    ASSERT_TRUE(spinUntil([&] { return refused.count() > 0; }));
    spinFor(300);
    EXPECT_TRUE(browser.opened.isEmpty());
    EXPECT_EQ(pane->currentUrl(), fileUrl("page.html"));
    EXPECT_EQ(js(QStringLiteral("document.title")).toString(), QStringLiteral("Pane"));

    // The same script within 6 s of a load goes ahead (a page's own redirect).
    pane->WebTick = fakeNow - 1000;
    QSignalSpy done(pane, &WebPane::documentCompleted);
    runJs(QStringLiteral("location.href = 'other.html'"), [](const QVariant &) {});
    ASSERT_TRUE(spinUntil([&] { return done.count() > 0; }));
    EXPECT_EQ(pane->currentUrl(), fileUrl("other.html"));
    EXPECT_TRUE(browser.opened.isEmpty());
}

TEST_F(WebPaneTest, AfterFocusLeftThePaneNavigationIsRefusedUntilTheMouseMovesOverAnElement)
{
    startOn(fileUrl("page.html"));
    fakeNow += 10000;
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    hoverAt({20, 20}, QStringLiteral("A"));
    pane->inputWidget()->setFocus();
    spinUntil([&] { return pane->inputWidget()->hasFocus(); }, 3000);
    edit->setFocus();
    ASSERT_TRUE(spinUntil([&] { return edit->hasFocus(); }, 3000));
    EXPECT_EQ(pane->HoverTag, QStringLiteral("Dummy"));

    QSignalSpy refused(pane, &WebPane::navigationRefused);
    runJs(QStringLiteral("document.getElementById('link').click()"), [](const QVariant &) {});
    ASSERT_TRUE(spinUntil([&] { return refused.count() > 0; }));
    EXPECT_TRUE(browser.opened.isEmpty());

    // The mouse moves on over the text and back onto the link, and the user clicks it.
    hoverAt({20, 60}, QStringLiteral("DIV"));
    hoverAt({20, 20}, QStringLiteral("A"));
    click({20, 20});
    ASSERT_TRUE(spinUntil([&] { return !browser.opened.isEmpty(); }));
    EXPECT_EQ(pane->currentUrl(), fileUrl("page.html"));
}

TEST_F(WebPaneTest, ScriptClicksOpenNothingAndOneRealClickOpensOneLink)
{
    startOn(fileUrl("page.html"));
    fakeNow += 10000;
    hoverAt({60, 20}, QStringLiteral("A"));
    // A page script clicking its link again and again while the mouse rests on it.
    QSignalSpy refused(pane, &WebPane::navigationRefused);
    for (int i = 1; i <= 3; ++i) {
        runJs(QStringLiteral("document.getElementById('link').click()"), [](const QVariant &) {});
        ASSERT_TRUE(spinUntil([&] { return refused.count() >= i; }));
    }
    EXPECT_TRUE(browser.opened.isEmpty());

    // The user's click opens the link once; the script's next click does not ride on it.
    click({60, 20});
    ASSERT_TRUE(spinUntil([&] { return browser.opened.size() == 1; }));
    runJs(QStringLiteral("document.getElementById('link').click()"), [](const QVariant &) {});
    ASSERT_TRUE(spinUntil([&] { return refused.count() >= 4; }));
    EXPECT_EQ(browser.opened.size(), 1);

    // The mouse leaves the pane: what it was over is forgotten.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(pane->inputWidget(), &leave);
    EXPECT_EQ(pane->HoverTag, QStringLiteral("Dummy"));
}

TEST_F(WebPaneTest, ALinkToAnotherSchemeIsNeverHandedToTheDesktop)
{
    writeFile("share.html", R"(<html><body style="margin:0"><a id="link" href="smb://127.0.0.1/share"
        style="display:block;height:40px">share</a></body></html>)");
    startOn(fileUrl("share.html"));
    fakeNow += 10000;
    hoverAt({20, 20}, QStringLiteral("A"));
    QSignalSpy refused(pane, &WebPane::navigationRefused);
    click({20, 20});
    ASSERT_TRUE(spinUntil([&] { return refused.count() > 0; }));
    spinFor(300);
    EXPECT_TRUE(browser.opened.isEmpty());
    EXPECT_EQ(refused.value(0).value(0).toUrl().scheme(), QStringLiteral("smb"));

    // Not even within the first seconds, when the page may still move on inside the pane.
    pane->WebTick = fakeNow;
    EXPECT_TRUE(pane->BeforeNavigate2(QUrl(QStringLiteral("smb://127.0.0.1/share"))));
    EXPECT_FALSE(pane->BeforeNavigate2(fileUrl("page.html")));
}

TEST_F(WebPaneTest, FailedFirstLoadShowsNoErrorPageAndTheUpkeepTriesAgain)
{
    const QUrl missing = QUrl(QStringLiteral("http://127.0.0.1:9/senden.html"));
    QSignalSpy failed(pane, &WebPane::navigateFailed);
    pane->Start(missing);
    ASSERT_TRUE(spinUntil([&] { return failed.count() > 0; }));
    EXPECT_FALSE(pane->hasDocument());
    EXPECT_FALSE(pane->view()->isVisible());
    EXPECT_EQ(js(QStringLiteral("document.body ? document.body.innerText : ''")).toString(), QString());

    // The address is there now: the next reload loads it.
    pane->PaneUrl = fileUrl("page.html");
    QSignalSpy done(pane, &WebPane::documentCompleted);
    bool renavigate = false;
    fakeNow += 120001;
    pane->Upkeep(true, renavigate);
    ASSERT_TRUE(spinUntil([&] { return done.count() > 0; }));
    EXPECT_TRUE(pane->hasDocument());
    EXPECT_EQ(js(QStringLiteral("document.title")).toString(), QStringLiteral("Pane"));
}

TEST_F(WebPaneTest, UpkeepRefreshesEveryTwoMinutesOnlyWhenAllowedAndLoadsAnewAfterBeingHidden)
{
    startOn(fileUrl("page.html"));
    // The page moved on within its first seconds; the pane's address stays page.html.
    QSignalSpy done(pane, &WebPane::documentCompleted);
    pane->navigate(fileUrl("other.html"));
    ASSERT_TRUE(spinUntil([&] { return done.count() == 1; }));
    bool renavigate = false;

    // Within the first 6 s the upkeep enables the pane and forgets the hover tag.
    pane->HoverTag = QStringLiteral("A");
    pane->Upkeep(true, renavigate);
    EXPECT_TRUE(pane->view()->isEnabled());
    EXPECT_EQ(pane->HoverTag, QStringLiteral("dumy"));

    // Not allowed (page hidden or window minimised): no reload, but the two minutes start over.
    fakeNow += 120001;
    pane->Upkeep(false, renavigate);
    EXPECT_EQ(pane->WebTick, fakeNow);
    spinFor(500);
    EXPECT_EQ(done.count(), 1);

    // Allowed before two minutes passed: nothing.
    fakeNow += 60000;
    pane->Upkeep(true, renavigate);
    spinFor(300);
    EXPECT_EQ(done.count(), 1);

    // Allowed after two minutes: a refresh keeps the page it shows.
    fakeNow += 60001;
    pane->Upkeep(true, renavigate);
    EXPECT_FALSE(pane->view()->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return done.count() == 2; }));
    EXPECT_EQ(pane->currentUrl(), fileUrl("other.html"));
    pane->Upkeep(true, renavigate);
    EXPECT_TRUE(pane->view()->isEnabled());

    // After being hidden: the address is loaded anew.
    renavigate = true;
    fakeNow += 120001;
    pane->Upkeep(true, renavigate);
    EXPECT_FALSE(renavigate);
    EXPECT_FALSE(pane->DocLoaded);
    ASSERT_TRUE(spinUntil([&] { return done.count() == 3; }));
    EXPECT_EQ(pane->currentUrl(), fileUrl("page.html"));
    EXPECT_TRUE(pane->DocLoaded);
}
#endif

// The plain page view (the shipped pages' view): web links and the help document leave the
// pane on a click, nothing else does.
TEST_F(WebPaneTest, PlainViewOpensWebLinksAndTheHelpDocumentOnly)
{
    WebPane::setEngineUse(WebPane::EngineUse::Never);
    writeFile("Help.pdf", "%PDF-1.4\n");
    writeFile("secret.txt", "local");
    writeFile("links.html", R"(<html><body>
<p><a href="http://127.0.0.1:9/web.html">web</a></p><p><a href="smb://127.0.0.1/share">share</a></p>
<p><a href="secret.txt">secret</a></p><p><a href="Help.pdf">help</a></p></body></html>)");
    pane->setHelpDocument(fileUrl("Help.pdf").toLocalFile());
    startOn(fileUrl("links.html"));
    ASSERT_FALSE(pane->usesEngine());
    fakeNow += 10000;
    tick();

    auto *view = static_cast<QTextBrowser *>(pane->view());
    // Where each link lies in the view.
    auto pointOf = [&](const QString &href) {
        for (int y = 1; y < view->viewport()->height(); y += 2)
            for (int x = 1; x < view->viewport()->width(); x += 4)
                if (view->anchorAt({x, y}) == href)
                    return QPoint(x, y);
        return QPoint(-1, -1);
    };
    for (const char *href : {"http://127.0.0.1:9/web.html", "smb://127.0.0.1/share", "secret.txt", "Help.pdf"}) {
        const QPoint at = pointOf(QString::fromLatin1(href));
        ASSERT_GE(at.x(), 0) << href;
        pane->HoverTagUpdate(QStringLiteral("A"));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    }
    spinFor(100);
    ASSERT_EQ(browser.opened.size(), 2) << browser.opened.value(0).toString().toStdString();
    EXPECT_EQ(browser.opened.value(0), QUrl(QStringLiteral("http://127.0.0.1:9/web.html")));
    EXPECT_EQ(browser.opened.value(1), fileUrl("Help.pdf"));
    EXPECT_EQ(pane->currentUrl(), fileUrl("links.html"));

    EXPECT_FALSE(pane->mayLeavePane(QUrl(QStringLiteral("javascript:alert(1)"))));
    EXPECT_FALSE(pane->mayLeavePane(QUrl(QStringLiteral("file:///etc/passwd"))));
    EXPECT_FALSE(pane->mayLeavePane(QUrl(QStringLiteral("http:///nohost"))));
    EXPECT_TRUE(pane->mayLeavePane(QUrl(QStringLiteral("https://radio.example/"))));
}

#include "test_webpane.moc"
