#pragma once
// Hands addresses to a running aria2 over its JSON-RPC interface (aria2.addUri), asynchronously:
// the window never waits for aria2. Each call ends in exactly one Added or Failed.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

class Aria2Client final : public QObject {
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 5000;

    explicit Aria2Client(QObject* parent = nullptr);

    // POSTs aria2.addUri for `uri` to `rpcUrl`; "token:SECRET" goes first when `secret` is set, and
    // `headers` ("Name: value") go into the download's "header" option.
    void AddUri(const QUrl& rpcUrl, const QString& secret, const QString& uri, const QStringList& headers);

    // The JSON-RPC request body.
    static QByteArray AddUriRequest(const QString& secret, const QString& uri, const QStringList& headers);

signals:
    // aria2's id of the new download (its gid).
    void Added(const QString& gid);
    // Why aria2 did not take it, in Chinese, naming aria2's address.
    void Failed(const QString& reason);

private:
    void finished(QNetworkReply* reply, const QString& rpcUrl);

    QNetworkAccessManager* network_;
};
