#pragma once
// Blocks every request of WebBr1's profile except those for the program's bundled resources.

#include <QWebEngineUrlRequestInterceptor>

class BundledOnlyInterceptor final : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT

public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

    int BlockedCount() const { return blocked_; }

private:
    int blocked_ = 0;
};
