#include "mainwindow/BundledOnlyInterceptor.h"

#include "mainwindow/StartPage.h"

void BundledOnlyInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info) {
    if (StartPage::IsBundled(info.requestUrl()))
        return;
    ++blocked_;
    info.block(true);
}
