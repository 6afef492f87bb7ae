#include "desktop/Aria2Client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

Aria2Client::Aria2Client(QObject* parent) : QObject(parent), network_(new QNetworkAccessManager(this)) {
    // aria2 runs on this machine or the user's own network: a proxy from the environment would only
    // stand between them (and most refuse a POST to 127.0.0.1).
    network_->setProxy(QNetworkProxy::NoProxy);
}

QByteArray Aria2Client::AddUriRequest(const QString& secret, const QString& uri, const QStringList& headers) {
    QJsonArray params;
    if (!secret.isEmpty())
        params.append(QStringLiteral("token:") + secret);
    params.append(QJsonArray{uri});
    if (!headers.isEmpty())
        params.append(QJsonObject{{QStringLiteral("header"), QJsonArray::fromStringList(headers)}});
    const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                              {QStringLiteral("id"), QStringLiteral("velmora")},
                              {QStringLiteral("method"), QStringLiteral("aria2.addUri")},
                              {QStringLiteral("params"), params}};
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

void Aria2Client::AddUri(const QUrl& rpcUrl, const QString& secret, const QString& uri, const QStringList& headers) {
    const QString shown = rpcUrl.toString();
    if (!rpcUrl.isValid() || (rpcUrl.scheme() != QLatin1String("http") && rpcUrl.scheme() != QLatin1String("https"))) {
        // Queued, so the caller sees the same order of events as for a request that went out.
        QMetaObject::invokeMethod(
            this,
            [this, shown] {
                emit Failed(
                    QStringLiteral("aria2 的地址“%1”不是 http:// 或 https:// 地址，请在设置区改正。").arg(shown));
            },
            Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(rpcUrl);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(kTimeoutMs);
    QNetworkReply* reply = network_->post(request, AddUriRequest(secret, uri, headers));
    connect(reply, &QNetworkReply::finished, this, [this, reply, shown] { finished(reply, shown); });
}

void Aria2Client::finished(QNetworkReply* reply, const QString& rpcUrl) {
    reply->deleteLater();
    // aria2 answers its errors with HTTP 400 and an error object: the body comes first.
    const QJsonObject answer = QJsonDocument::fromJson(reply->isReadable() ? reply->readAll() : QByteArray()).object();
    if (const QJsonValue gid = answer.value(QStringLiteral("result")); gid.isString()) {
        emit Added(gid.toString());
        return;
    }
    if (const QJsonObject error = answer.value(QStringLiteral("error")).toObject(); !error.isEmpty()) {
        const QString message = error.value(QStringLiteral("message")).toString();
        if (message == QLatin1String("Unauthorized"))
            emit Failed(QStringLiteral("aria2（%1）拒绝了请求：密钥不对（Unauthorized）。\n请在设置区填写 aria2 启动时 "
                                       "--rpc-secret 的值。")
                            .arg(rpcUrl));
        else
            emit Failed(QStringLiteral("aria2（%1）没有接受这个地址：错误 %2，%3")
                            .arg(rpcUrl, QString::number(error.value(QStringLiteral("code")).toInt()), message));
        return;
    }
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
        emit Failed(
            QStringLiteral("无法连接 aria2（%1）：连接被拒绝。\naria2 可能没有运行，或者没有用 --enable-rpc 启动。")
                .arg(rpcUrl));
        break;
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        emit Failed(QStringLiteral("aria2（%1）在 %2 秒内没有回答。").arg(rpcUrl).arg(kTimeoutMs / 1000));
        break;
    case QNetworkReply::HostNotFoundError:
        emit Failed(QStringLiteral("找不到 aria2 所在的主机（%1）。").arg(rpcUrl));
        break;
    case QNetworkReply::NoError:
        emit Failed(
            QStringLiteral("aria2（%1）的回答无法理解，这个地址上可能不是 aria2 的 JSON-RPC 接口。").arg(rpcUrl));
        break;
    default:
        emit Failed(QStringLiteral("与 aria2（%1）通信失败：%2").arg(rpcUrl, reply->errorString()));
        break;
    }
}
