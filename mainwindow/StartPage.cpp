#include "mainwindow/StartPage.h"

#include "mainwindow/BundledOnlyInterceptor.h"

#include <QDesktopServices>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

QWebEngineProfile* StartPage::CreateProfile(QObject* owner) {
    auto* profile = new QWebEngineProfile(owner); // no storage name: off the record, nothing on disk
    profile->setUrlRequestInterceptor(new BundledOnlyInterceptor(profile));
    profile->setHttpCacheType(QWebEngineProfile::NoCache);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    QWebEngineSettings* settings = profile->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    settings->setAttribute(QWebEngineSettings::WebGLEnabled, false);
    return profile;
}

QUrl StartPage::Address() {
    return QUrl(QStringLiteral("qrc:/start/index.html"));
}

bool StartPage::IsBundled(const QUrl& url) {
    // data: is what Chromium shows for its own error pages.
    return url.scheme() == QLatin1String("qrc") || url.scheme() == QLatin1String("data");
}

StartPage::StartPage(QWebEngineProfile* profile, QObject* parent) : QWebEnginePage(profile, parent) {}

bool StartPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    if (type == NavigationTypeLinkClicked && !IsBundled(url)) {
        handedOut_.append(url);
        QDesktopServices::openUrl(url);
        return false;
    }
    if (!isMainFrame)
        return IsBundled(url);
    return IsBundled(url) && url.adjusted(QUrl::RemoveFragment) == Address();
}

QWebEnginePage* StartPage::createWindow(WebWindowType) {
    // The page opens no windows of its own; a link meant for a new window is not followed.
    return nullptr;
}
