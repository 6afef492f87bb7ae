#pragma once
// The main window. It owns the capture component, the file-type table and the capture engine (packet
// store, result list, HTTPS), and hands every frame to the engine on the UI thread.
//
// The helpers made in the constructor, after Form_Load, are handed only the parts they use; none of them
// knows this class. What it offers them and the tests:
//   Controls, each also found by findChild with the same object name:
//     QTableView*       LV1()          result list; its model is resultModel()
//     QPlainTextEdit*   Text1()        data window, hidden until the command bar shows it
//     QAbstractButton*  Cmd1(int i)    command bar, i = 0 and 2..6 (nullptr otherwise). Every click arrives
//                                      as the signal Cmd1Clicked(i); Form1 handles only index 0 itself
//     StatusPanels*     Status1()      Panel(1..4): state, adapter, address, mask; plus CapturePanel() for the figures
//     xpcheckbox*       Chk2(), Chk3() check boxes ("中文文本处理", "获取所有数据包"); ticked when Value() is 1
//     QLineEdit*        Text2(), Text5()
//     QComboBox*        Combo2()
//     QTableView*       ListView2()    file-type table; its model is fileTypes()
//     QAbstractButton*  Cmd2(), Cmd3(), Cmd4()
//     QTabBar*          TabS1()        the two tabs; the pages are Frame1(0) and Frame1(1)
//     QWidget*          Frame1(int i)  0 operation page (Cmd1, LV1, Text1), 1 options page
//     QWebEngineView*   WebBr1()       nullptr when the window was made without a browser (tests)
//     xp_canvas*        xp_Form()      the skinned frame over the whole (frameless) window; every control is on it
//     xptopbuttons*     minb1(), maxb1(), closeb1()  caption buttons; maxb1's Value is 3 while maximised, else 1
//   State:
//     velmora::CaptureEngine& engine() (fed every frame), and its parts: velmora::PacketStore& store();
//     velmora::ResultList& results();  ResultListModel* resultModel();
//     FileTypeTableModel* fileTypes();  velmora::CaptureComponent& vpacket();  velmora::SettingsFile& settings();
//     HttpsCapture* https() (the key log's window side)
//     bool IsCapturing() (the caption of Cmd1(0) is not "开始嗅探");  QString CurrentSelectedAdapter;
//     velmora::ExtractionOptions CurrentExtractionOptions()  (Chk3's value and Text2's leading number)
//   Operations:
//     StartCapture(), StopCapture()   the two halves of Cmd1(0)'s click
//     StopCaptureComponent()          StopCapture + CloseAdapter + "状态：嗅探结束", caption unchanged
//                                     (the keyword search stops the component this way)
//     ResetCaptureState()             PacketCount, ResultCount, LV1 and Text1 back to empty
//     BringFrameToFront(int i)        shows Frame1(i) without changing TabS1's selected tab
//     HideWindow()                    the close button: hides (or minimises when there is no tray)
//     Form_Resize()                   lays the controls out for the window's size (MainWindowLayout); runs on
//                                     every resize, not while minimised
//     Unload()                        removes the tray icon, closes the dialogs, emits Unloaded()
//   Signals: Cmd1Clicked(int index), Unloading() (close your own windows), Unloaded(), FramesHandled(n)

#include "capture/FileTypeTable.h"
#include "capture/pcap/AdapterInfo.h"
#include "engine/CaptureEngine.h"
#include "settings/SettingsFile.h"
#include "skin/xpcheckbox.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QAbstractButton;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QStackedWidget;
class QTabBar;
class QTableView;
class QTimer;
class QWebEngineProfile;
class QWebEngineView;

class DataWindowSizer;
class FileTypeTableModel;
class Form3;
class HttpsCapture;
class ResultListModel;
class StatusPanels;
class Text2FocusWatch;
class TlsProbeCapture;
class TrayIcon;

namespace velmora {
class CaptureComponent;
class xp_canvas;
class xptopbuttons;
} // namespace velmora

class Form1 final : public QWidget {
    Q_OBJECT

public:
    struct Options {
        // The settings file. Empty: $VELMORA_SETTINGS, else setting.ini beside the executable, else
        // (folder not writable, or the program installed) $XDG_CONFIG_HOME/velmora/setting.ini.
        QString settingsPath;
        // Copied to the settings path when no file is there. Empty: the shipped default-setting.ini.
        QString defaultSettingsPath;
        // Instead of libpcap's adapters (tests): listed in Combo2 and answering LookupNetwork.
        std::optional<std::vector<velmora::AdapterInfo>> adapters;
        bool webBrowser = true; // WebBr1 with the bundled start page
        bool trayIcon = true;
    };

    static constexpr std::size_t kFramesPerBatch = 1024;

    Form1() : Form1(Options{}) {}
    explicit Form1(Options options, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls.
    QTableView* LV1() const { return LV1_; }
    QPlainTextEdit* Text1() const { return Text1_; }
    QAbstractButton* Cmd1(int index) const;
    StatusPanels* Status1() const { return Status1_; }
    velmora::xpcheckbox* Chk2() const { return Chk2_; }
    velmora::xpcheckbox* Chk3() const { return Chk3_; }
    QLineEdit* Text2() const { return Text2_; }
    QLineEdit* Text5() const { return Text5_; }
    QComboBox* Combo2() const { return Combo2_; }
    QTableView* ListView2() const { return ListView2_; }
    QAbstractButton* Cmd2() const { return Cmd2_; }
    QAbstractButton* Cmd3() const { return Cmd3_; }
    QAbstractButton* Cmd4() const { return Cmd4_; }
    QTabBar* TabS1() const { return TabS1_; }
    QWidget* Frame1(int index) const;
    QWebEngineView* WebBr1() const { return WebBr1_; }
    velmora::xp_canvas* xp_Form() const { return xp_Form_; }
    velmora::xptopbuttons* minb1() const { return minb1_; }
    velmora::xptopbuttons* maxb1() const { return maxb1_; }
    velmora::xptopbuttons* closeb1() const { return closeb1_; }
    TrayIcon* trayIcon() const { return tray_; }
    Form3* form3() const;
    HttpsCapture* https() const { return https_; }

    // State.
    velmora::CaptureEngine& engine() { return engine_; }
    velmora::PacketStore& store() { return engine_.Store(); }
    velmora::ResultList& results() { return engine_.Results(); }
    ResultListModel* resultModel() const { return resultModel_; }
    FileTypeTableModel* fileTypes() const { return fileTypeModel_; }
    velmora::CaptureComponent& vpacket() { return *vpacket_; }
    velmora::SettingsFile& settings() { return settings_; }
    QString IniFileName() const { return QString::fromStdString(settings_.IniFileName()); }
    bool IsCapturing() const;
    velmora::ExtractionOptions CurrentExtractionOptions() const { return extractionOptions_; }

    QString CurrentSelectedAdapter;

    // Handlers, public so the command classes and tests reach them the way a click does.
    void Cmd1_Click(int index);
    void StartCapture();
    void StopCapture();
    void StopCaptureComponent();
    void ResetCaptureState();
    void Combo2_Click();
    void Text2_LostFocus();
    void Text5_Change();
    void Text5_Click();
    void Cmd2_Click();
    void Cmd3_Click();
    void Cmd4_Click();
    void ListView2_ItemClick();
    void BringFrameToFront(int index);
    void HideWindow();
    void Unload();
    void Form_Resize();
    void minb1_Click();
    void maxb1_Click();

    // Writes the whole file-type table (add and delete do).
    void SaveFileTypes();
    // The adapter's address and mask, from the injected list or from libpcap; false when unknown.
    bool LookupNetwork(const QString& name, std::uint32_t& address, std::uint32_t& mask) const;

    // Runs queued frames through the frame handler: up to `maxFrames`, then the new rows are shown.
    std::size_t DispatchFrames(std::size_t maxFrames = kFramesPerBatch);
    // Shows LV1 the rows the frame handler added since the last time.
    void ShowNewRows();

signals:
    void Cmd1Clicked(int index);
    void Unloading();
    void Unloaded();
    void FramesHandled(std::size_t count);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::size_t handleFrames(std::size_t maxFrames);
    // The file-type row the editor commands act on, or -1.
    int selectedFileTypeRow() const;
    void buildControls();
    QWidget* buildOperationPage();
    QWidget* buildOptionsPage();
    void Form_Load();
    void fillAdapterList();
    void selectSavedAdapter();
    void loadFileTypeTable();
    void vpacket_PacketReceived(std::int32_t numbytes);
    void showSettingsError(const velmora::SettingsError& error);
    void showOpenAdapterFailure(const QString& reason);
    void refreshCaptureFigures();
    void updateExtractionOptions();
    void scheduleDispatch();
    void captureInterrupted();
    void buildCaption();
    void syncMaximiseButton();

    Options options_;

    velmora::FileTypeTable fileTypeTable_;
    velmora::CaptureEngine engine_{fileTypeTable_};
    velmora::ExtractionOptions extractionOptions_;
    std::unique_ptr<velmora::CaptureComponent> vpacket_;
    velmora::SettingsFile settings_;
    std::vector<std::string> adapterNames_;
    bool liveCapture_ = false; // an adapter capture started by StartCapture is running
    bool unloaded_ = false;

    // Controls.
    velmora::xp_canvas* xp_Form_ = nullptr;
    velmora::xptopbuttons* minb1_ = nullptr;
    velmora::xptopbuttons* maxb1_ = nullptr;
    velmora::xptopbuttons* closeb1_ = nullptr;
    QFrame* TabS1Pane_ = nullptr;
    QLabel* Label10_ = nullptr;
    QLabel* Label11_ = nullptr;
    QWidget* Frame2_ = nullptr;
    QWebEngineView* WebBr1_ = nullptr;
    DataWindowSizer* dataWindowSizer_ = nullptr;
    QWebEngineProfile* webProfile_ = nullptr;
    QTabBar* TabS1_ = nullptr;
    QStackedWidget* frameStack_ = nullptr;
    std::array<QWidget*, 2> Frame1_{};
    std::array<QAbstractButton*, 7> Cmd1_{};
    QTableView* LV1_ = nullptr;
    QPlainTextEdit* Text1_ = nullptr;
    StatusPanels* Status1_ = nullptr;
    QComboBox* Combo2_ = nullptr;
    QLineEdit* Text5_ = nullptr;
    QLineEdit* Text2_ = nullptr;
    Text2FocusWatch* text2Watch_ = nullptr;
    velmora::xpcheckbox* Chk2_ = nullptr;
    velmora::xpcheckbox* Chk3_ = nullptr;
    QTableView* ListView2_ = nullptr;
    QAbstractButton* Cmd2_ = nullptr;
    QAbstractButton* Cmd3_ = nullptr;
    QAbstractButton* Cmd4_ = nullptr;

    ResultListModel* resultModel_ = nullptr;
    FileTypeTableModel* fileTypeModel_ = nullptr;
    TrayIcon* tray_ = nullptr;
    QPointer<Form3> form3_;
    HttpsCapture* https_ = nullptr; // decrypts HTTPS requests with the browser's key log
    TlsProbeCapture* tlsProbe_ = nullptr; // velmora-tls's records, while a capture runs
    QTimer* figuresTimer_ = nullptr;
    QTimer* showRowsTimer_ = nullptr;
    QElapsedTimer rowsShownRecently_;
    QString lastDialogFileName_; // Dialog1 keeps the name of its last use
};
