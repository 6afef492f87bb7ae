#include "mainwindow/DownloadMethodGroup.h"

#include "mainwindow/OptionsColumn.h"
#include "settings/SettingsKeys.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

QStringList DownloadMethodGroup::MethodNames() {
    return {QStringLiteral("影音传送带"), QStringLiteral("aria2（RPC）"), QStringLiteral("自定义命令")};
}

DownloadMethodGroup::DownloadMethodGroup(velmora::SettingsFile& settings, QWidget* optionsPage,
                                         QLineEdit* downloaderPath)
    : QWidget(optionsPage) {
    setObjectName(QStringLiteral("DownloadMethodGroup"));
    const velmora::DownloadSettings stored = velmora::ReadDownloadSettings(settings);

    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(4);

    auto* methodRow = new QHBoxLayout;
    auto* label = new QLabel(QStringLiteral("★ 下载方式"), this);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    method_ = new QComboBox(this);
    method_->setObjectName(QStringLiteral("DownloadMethod"));
    method_->addItems(MethodNames());
    method_->setCurrentIndex(static_cast<int>(stored.method));
    methodRow->addWidget(label);
    methodRow->addWidget(method_, 1);
    rows->addLayout(methodRow);

    // aria2's address and secret share one row, so the group is never more than two rows high.
    aria2Fields_ = new QWidget(this);
    auto* aria2Row = new QHBoxLayout(aria2Fields_);
    aria2Row->setContentsMargins(0, 0, 0, 0);
    aria2Url_ = new QLineEdit(QString::fromStdString(stored.aria2Url), aria2Fields_);
    aria2Url_->setObjectName(QStringLiteral("Aria2Url"));
    aria2Url_->setPlaceholderText(
        QString::fromLatin1(velmora::kDefaultAria2Url.data(), velmora::kDefaultAria2Url.size()));
    aria2Url_->setToolTip(QStringLiteral("aria2 的 JSON-RPC 地址（aria2c --enable-rpc）"));
    aria2Secret_ = new QLineEdit(QString::fromStdString(stored.aria2Secret), aria2Fields_);
    aria2Secret_->setObjectName(QStringLiteral("Aria2Secret"));
    aria2Secret_->setEchoMode(QLineEdit::PasswordEchoOnEdit);
    aria2Secret_->setPlaceholderText(QStringLiteral("密钥"));
    aria2Secret_->setToolTip(QStringLiteral("aria2c --rpc-secret 的值；没有设密钥时留空"));
    aria2Row->addWidget(aria2Url_, 3);
    aria2Row->addWidget(aria2Secret_, 1);
    rows->addWidget(aria2Fields_);

    command_ = new QLineEdit(QString::fromStdString(stored.command), this);
    command_->setObjectName(QStringLiteral("Command"));
    command_->setPlaceholderText(QStringLiteral("如 yt-dlp %u"));
    command_->setToolTip(
        QStringLiteral("%u 地址（没有 %u 时加在最后），%r Referer，%a User-Agent，%c Cookie，%% 即 %。\n"
                       "不经过 shell：地址总是一个完整的参数。"));
    rows->addWidget(command_);

    // Streams and audio/video pairs go to ffmpeg whatever the method above is.
    auto* streamRow = new QHBoxLayout;
    streamRow->addWidget(new QLabel(QStringLiteral("流下载"), this));
    streamCommand_ = new QLineEdit(QString::fromStdString(stored.streamCommand), this);
    streamCommand_->setObjectName(QStringLiteral("StreamCommand"));
    streamCommand_->setCursorPosition(0);
    streamCommand_->setPlaceholderText(
        QString::fromLatin1(velmora::kDefaultStreamCommand.data(), velmora::kDefaultStreamCommand.size()));
    streamCommand_->setToolTip(QStringLiteral(
        "HLS、DASH 流和成对的音视频用这条命令下载（与上面的下载方式无关）。\n"
        "%u 清单或视频地址，%v 第二个输入（音频），%o 下载文件夹里的新文件，%r %a %c 同上；\n"
        "值为空的选项连同它前面的选项名一起省去。留空即用默认的 ffmpeg 命令。"));
    streamRow->addWidget(streamCommand_, 1);
    rows->addLayout(streamRow);
    showFieldsOf(method_->currentIndex());

    if (QBoxLayout* column = ColumnHolding(downloaderPath))
        column->insertWidget(column->indexOf(downloaderPath) + 1, this);

    using namespace velmora::keys;
    connect(method_, &QComboBox::currentIndexChanged, this, [this, &settings](int index) {
        showFieldsOf(index);
        settings.WriteIniString(kDownloadSection, kMethodKey, std::to_string(index));
    });
    connect(aria2Url_, &QLineEdit::textChanged, this, [&settings](const QString& text) {
        settings.WriteIniString(kDownloadSection, kAria2UrlKey, text.toStdString());
    });
    connect(aria2Secret_, &QLineEdit::textChanged, this, [&settings](const QString& text) {
        settings.WriteIniString(kDownloadSection, kAria2SecretKey, text.toStdString());
    });
    connect(command_, &QLineEdit::textChanged, this, [&settings](const QString& text) {
        settings.WriteIniString(kDownloadSection, kCommandKey, text.toStdString());
    });
    connect(streamCommand_, &QLineEdit::textChanged, this, [&settings](const QString& text) {
        settings.WriteIniString(kDownloadSection, kStreamCommandKey, text.toStdString());
    });
}

void DownloadMethodGroup::showFieldsOf(int method) {
    aria2Fields_->setVisible(method == static_cast<int>(velmora::DownloadMethod::Aria2));
    command_->setVisible(method == static_cast<int>(velmora::DownloadMethod::Command));
}

velmora::DownloadSettings DownloadMethodGroup::Current() const {
    velmora::DownloadSettings current;
    current.method = static_cast<velmora::DownloadMethod>(std::clamp(method_->currentIndex(), 0, 2));
    current.aria2Url = aria2Url_->text().trimmed().toStdString();
    if (current.aria2Url.empty())
        current.aria2Url = velmora::kDefaultAria2Url;
    current.aria2Secret = aria2Secret_->text().toStdString();
    current.command = command_->text().toStdString();
    if (const QString stream = streamCommand_->text().trimmed(); !stream.isEmpty())
        current.streamCommand = stream.toStdString();
    return current;
}
