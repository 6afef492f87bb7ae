#pragma once
// Shared by the main window's tests: a fresh settings folder per test, answers to every modal box,
// and a main() that prepares Qt WebEngine before the application exists.

#include "desktop/FixedSizeWindows.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/QtTranslations.h"
#include "mainwindow/WebEngineEnvironment.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Records every box and answers it: from the queue while it lasts, else with OK / cancel.
class DialogRecorder final {
public:
    DialogRecorder() {
        Dialogs::SetHook([this](const DialogRequest& request) {
            requests.push_back(request);
            if (!answers.empty()) {
                DialogAnswer answer = answers.front();
                answers.pop_front();
                return answer;
            }
            return DialogAnswer{};
        });
    }
    ~DialogRecorder() { Dialogs::SetHook({}); }
    DialogRecorder(const DialogRecorder&) = delete;
    DialogRecorder& operator=(const DialogRecorder&) = delete;

    void AnswerText(std::optional<QString> text) { answers.push_back({QMessageBox::Ok, std::move(text)}); }
    int Count() const { return static_cast<int>(requests.size()); }
    const DialogRequest& Last() const { return requests.back(); }
    QStringList Titles() const {
        QStringList titles;
        for (const DialogRequest& r : requests)
            titles << r.title;
        return titles;
    }
    void Clear() { requests.clear(); }

    std::vector<DialogRequest> requests;
    std::deque<DialogAnswer> answers;
};

inline velmora::AdapterInfo Adapter(std::string name, std::uint32_t address, std::uint32_t mask) {
    velmora::AdapterInfo info;
    info.name = std::move(name);
    info.address = address;
    info.mask = mask;
    return info;
}

// Options for a window on setting.ini in DIR: the given adapters instead of libpcap's, no browser, no tray.
inline Form1::Options WindowOptions(const QTemporaryDir& dir, std::vector<velmora::AdapterInfo> adapters = {}) {
    Form1::Options options;
    options.settingsPath = dir.filePath(QStringLiteral("setting.ini"));
    options.defaultSettingsPath = QStringLiteral(VELMORA_BINARY_DIR "/default-setting.ini");
    options.adapters = std::move(adapters);
    options.webBrowser = false;
    options.trayIcon = false;
    return options;
}

// A settings folder of its own; the file is written as given (UTF-8 text).
class SettingsFolder final {
public:
    SettingsFolder() { QVERIFY2(dir.isValid(), "no temporary folder"); }

    QString IniPath() const { return dir.filePath(QStringLiteral("setting.ini")); }
    void Write(const QByteArray& content) const {
        QFile file(IniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    bool Exists() const { return QFile::exists(IniPath()); }
    std::string Value(std::string_view section, std::string_view key) const {
        return velmora::SettingsFile(IniPath().toStdString()).GetIniString(section, key);
    }
    QString QValue(std::string_view section, std::string_view key) const {
        return QString::fromStdString(Value(section, key));
    }
    bool HasKey(std::string_view section, std::string_view key) const {
        const auto values = velmora::SettingsFile(IniPath().toStdString()).GetIniSection(section);
        std::string folded(key);
        for (char& c : folded)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return values.count(folded) > 0;
    }

    Form1::Options Options(std::vector<velmora::AdapterInfo> adapters = {}) const {
        return WindowOptions(dir, std::move(adapters));
    }

    QTemporaryDir dir;
};

// A value of setting.ini in DIR.
inline QString SettingsFolderValue(const QTemporaryDir& dir, std::string_view section, std::string_view key) {
    return QString::fromStdString(
        velmora::SettingsFile(dir.filePath(QStringLiteral("setting.ini")).toStdString()).GetIniString(section, key));
}

// Whether something accepts connections on 127.0.0.1:`port` within `ms`.
inline bool WaitForPort(quint16 port, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 100) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QTest::qWait(100);
    }
    return false;
}

// Python's http.server serving `folder` on 127.0.0.1 at a free port, stopped by the pid it was
// started with when it goes.
class LocalSite final {
public:
    explicit LocalSite(const QString& folder) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port_ = probe.serverPort();
        probe.close();
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server_.start(QStringLiteral("/usr/bin/python3"),
                      {QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(port_), QStringLiteral("--bind"),
                       QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), folder});
        ready_ = server_.waitForStarted() && WaitForPort(port_);
    }
    ~LocalSite() {
        server_.terminate();
        if (!server_.waitForFinished(3000))
            server_.kill();
    }
    LocalSite(const LocalSite&) = delete;
    LocalSite& operator=(const LocalSite&) = delete;

    bool Ready() const { return ready_; }
    quint16 Port() const { return port_; }
    QString Url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1/%2").arg(port_).arg(path); }

private:
    QProcess server_;
    quint16 port_ = 0;
    bool ready_ = false;
};

template <typename TestObject> int RunTests(int argc, char** argv) {
    PrepareWebEngineEnvironment();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    InstallQtTranslations(app); // as the program does: Qt's own texts in Chinese
    FixedSizeWindows::Install(app);
    TestObject tests;
    return QTest::qExec(&tests, argc, argv);
}

} // namespace testsupport

#define VELMORA_GUI_TEST_MAIN(TestObject)                                                                              \
    int main(int argc, char** argv) {                                                                                  \
        return testsupport::RunTests<TestObject>(argc, argv);                                                          \
    }
