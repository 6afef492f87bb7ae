#pragma once
// WebBr1's page: the start page bundled with the program and nothing else. The browser runs inside a
// process with capture rights and without Chromium's sandbox, so it must never load remote content:
// navigation away is refused, a clicked link opens in the user's own browser, and every request for
// anything but the bundled resources is blocked.

#include <QWebEnginePage>

class QWebEngineProfile;

class StartPage final : public QWebEnginePage {
    Q_OBJECT

public:
    // A private, off-the-record profile that blocks every non-bundled request; owned by `owner`.
    static QWebEngineProfile* CreateProfile(QObject* owner);
    static QUrl Address();
    static bool IsBundled(const QUrl& url);

    explicit StartPage(QWebEngineProfile* profile, QObject* parent = nullptr);

    // Links the user clicked and that were handed to the desktop's browser (for tests).
    const QList<QUrl>& HandedOutLinks() const { return handedOut_; }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;

private:
    QList<QUrl> handedOut_;
};
