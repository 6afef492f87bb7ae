#include "mainwindow/Form1.h"

#include "capture/pcap/CaptureComponent.h"
#include "desktop/TrayIcon.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/CommandBar.h"
#include "mainwindow/ContentTypeOption.h"
#include "mainwindow/DataWindow.h"
#include "mainwindow/DataWindowSizer.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/DownloadMethodGroup.h"
#include "mainwindow/FileTypeTableModel.h"
#include "mainwindow/Form3.h"
#include "mainwindow/HttpsCapture.h"
#include "mainwindow/LongToIP.h"
#include "mainwindow/MainWindowLayout.h"
#include "mainwindow/ProductInfo.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/ResultListOperations.h"
#include "mainwindow/SettingsLocation.h"
#include "mainwindow/StartPage.h"
#include "mainwindow/StatusPanels.h"
#include "mainwindow/StreamActions.h"
#include "mainwindow/StreamDownloads.h"
#include "mainwindow/Text2FocusWatch.h"
#include "mainwindow/TlsProbeCapture.h"
#include "settings/DefaultSettings.h"
#include "settings/FileTypeSettings.h"
#include "settings/LeadingNumber.h"
#include "settings/SettingsKeys.h"
#include "skin/xp_canvas.h"
#include "skin/xpcmdbutton.h"
#include "skin/xpgroupbox.h"
#include "skin/xptopbuttons.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QScrollArea>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <limits>

namespace {

const QString kStartCaption = QStringLiteral("开始嗅探");
const QString kStopCaption = QStringLiteral("停止嗅探");

// The window is laid out in twips; the widgets work in pixels.
constexpr int Px(int twips) { return twips / 15; }

std::string Utf8(const QString& text) { return text.toStdString(); }

QLabel* GroupLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace

// The resources live in the static GUI library; nothing would pull them into the executable otherwise.
static void InitVelmoraResources() { Q_INIT_RESOURCE(velmora); }

Form1::Form1(Options options, QWidget* parent) : QWidget(parent), options_(std::move(options)) {
    InitVelmoraResources();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Velmora V3.0"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/velmora-64.png")));
    // No platform frame: xp_Form draws the title and borders.
    setWindowFlag(Qt::FramelessWindowHint);
    setMinimumSize(MainWindowLayout::kMinimumSize);
    resize(Px(12000), Px(9000));
    buildControls();
    Form_Load();
    auto* methods = new DownloadMethodGroup(settings_, Frame1_[1], Text5_);
    auto* operations =
        new ResultListOperations({engine_, settings_, resultModel_, Status1_, LV1_, Text1_, Text5_, methods}, this);
    const auto isCapturing = [this] { return IsCapturing(); };
    const auto showNewRows = [this] { ShowNewRows(); };
    https_ = new HttpsCapture({engine_, settings_, Status1_, Frame1_[1], ListView2_, isCapturing, showNewRows}, this);
    tlsProbe_ = new TlsProbeCapture(
        {engine_, settings_, Status1_, https_->Options(), [this] { return extractionOptions_; }, showNewRows}, this);
    auto* captureFiles = new CaptureFileOpener(
        {*vpacket_, resultModel_, https_, Status1_, Cmd1_[0], isCapturing, [this] { ResetCaptureState(); }, showNewRows},
        this);
    auto* commands = new CommandBar(
        {Cmd1_, Frame1_[0], LV1_, Text1_, resultModel_, engine_.Store(), captureFiles, [this] { StopCaptureComponent(); },
         [operations] { return operations->streams()->downloads()->ConfirmQuit(); }, [this] { Unload(); }},
        this);
    connect(this, &Form1::Unloading, commands, &CommandBar::WindowUnloading);
    new DataWindow({engine_, resultModel_, https_, LV1_, Text1_, Cmd1_[2], Chk2_}, this);
    dataWindowSizer_ = new DataWindowSizer(settings_, Frame1_[0], Text1_, [this] { Form_Resize(); }, this);
    Form_Resize();
    new ContentTypeOption(engine_, settings_, Frame1_[1], Chk2_, this);
}

Form1::~Form1() {
    // The capture thread posts to this window: it must be gone before the window is.
    if (vpacket_) {
        vpacket_->StopCapture();
        vpacket_->CloseAdapter();
    }
    delete form3_.data();
    // A WebEngine page must die before its profile.
    delete WebBr1_;
    WebBr1_ = nullptr;
    delete webProfile_;
}

// ---- Controls -------------------------------------------------------------------------------------------

void Form1::buildControls() {
    // The skinned frame fills the frameless window and carries every control; Form_Resize places them.
    xp_Form_ = new velmora::xp_canvas(this);
    xp_Form_->setObjectName(QStringLiteral("xp_Form"));
    xp_Form_->setCaption(windowTitle());
    xp_Form_->setIcon(QPixmap(QStringLiteral(":/icons/velmora-16.png")));
    QWidget* form = xp_Form_;

    // Header: product name and the maker's address beside the start page.
    Label11_ = new QLabel(QStringLiteral("Velmora"), form);
    Label11_->setObjectName(QStringLiteral("Label11"));
    QFont brandFont = Label11_->font();
    brandFont.setBold(true);
    brandFont.setPixelSize(14);
    Label11_->setFont(brandFont);
    Label11_->setAlignment(Qt::AlignCenter);
    Label10_ = new QLabel(ProductInfo::MakerShortAddress(), form);
    Label10_->setObjectName(QStringLiteral("Label10"));
    Label10_->setAlignment(Qt::AlignCenter);

    auto* frame2 = new velmora::xpgroupbox(form);
    frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2_ = frame2;
    if (options_.webBrowser) {
        webProfile_ = StartPage::CreateProfile(nullptr);
        WebBr1_ = new QWebEngineView(frame2);
        WebBr1_->setObjectName(QStringLiteral("WebBr1"));
        WebBr1_->setPage(new StartPage(webProfile_, WebBr1_));
        WebBr1_->setContextMenuPolicy(Qt::NoContextMenu);
    }

    // The tab strip: its row of tabs over a framed pane, whose client area holds both frames of Frame1.
    TabS1Pane_ = new QFrame(form);
    TabS1Pane_->setObjectName(QStringLiteral("TabS1Pane"));
    TabS1Pane_->setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    TabS1_ = new QTabBar(form);
    TabS1_->setObjectName(QStringLiteral("TabS1"));
    TabS1_->addTab(QStringLiteral("操作区"));
    TabS1_->addTab(QStringLiteral("设置区"));
    TabS1_->setExpanding(false);
    TabS1_->setDrawBase(false);
    frameStack_ = new QStackedWidget(form);
    frameStack_->setObjectName(QStringLiteral("Frame1Stack"));
    Frame1_[0] = buildOperationPage();
    Frame1_[1] = buildOptionsPage();
    frameStack_->addWidget(Frame1_[0]);
    frameStack_->addWidget(Frame1_[1]);

    Status1_ = new StatusPanels(form);
    Status1_->setObjectName(QStringLiteral("Status1"));
    // The frame's borders and corners size the window.
    Status1_->setSizeGripEnabled(false);

    buildCaption();

    showRowsTimer_ = new QTimer(this);
    showRowsTimer_->setSingleShot(true);
    showRowsTimer_->setInterval(100);
    connect(showRowsTimer_, &QTimer::timeout, this, &Form1::ShowNewRows);

    figuresTimer_ = new QTimer(this);
    figuresTimer_->setInterval(500);
    connect(figuresTimer_, &QTimer::timeout, this, &Form1::refreshCaptureFigures);

    // A click on a tab, also on the one already selected, brings its frame to the front.
    connect(TabS1_, &QTabBar::tabBarClicked, this, &Form1::BringFrameToFront);
    connect(TabS1_, &QTabBar::currentChanged, this, &Form1::BringFrameToFront);
    connect(this, &Form1::Cmd1Clicked, this, [this](int index) {
        if (index == 0)
            Cmd1_Click(0);
    });
}

// The caption buttons, made last so they lie over the frame's title strip.
void Form1::buildCaption() {
    auto make = [this](const char* name, int value, const QString& tip) {
        auto* button = new velmora::xptopbuttons(value, xp_Form_);
        button->setObjectName(QString::fromLatin1(name));
        button->setToolTip(tip);
        return button;
    };
    minb1_ = make("minb1", velmora::xptopbuttons::Minimise, QStringLiteral("Minimize"));
    maxb1_ = make("maxb1", velmora::xptopbuttons::Maximise, QStringLiteral("Maximize"));
    closeb1_ = make("closeb1", velmora::xptopbuttons::Close, QStringLiteral("Close"));
    connect(minb1_, &QAbstractButton::clicked, this, &Form1::minb1_Click);
    connect(maxb1_, &QAbstractButton::clicked, this, &Form1::maxb1_Click);
    connect(closeb1_, &QAbstractButton::clicked, this, &Form1::HideWindow);
}

QWidget* Form1::buildOperationPage() {
    // No layout: Form_Resize places the buttons, the list and the data window by the layout's twips.
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("Frame1_0"));

    const std::array<std::pair<int, QString>, 6> captions{{{0, kStartCaption},
                                                          {2, QStringLiteral("显示数据窗口")},
                                                          {3, QStringLiteral("搜索缓存")},
                                                          {4, QStringLiteral("主   页")},
                                                          {5, QStringLiteral("关   于")},
                                                          {6, QStringLiteral("退   出")}}};
    for (const auto& [index, caption] : captions) {
        auto* button = new velmora::xpcmdbutton(caption, page);
        button->setObjectName(QStringLiteral("Cmd1_%1").arg(index));
        button->setProperty("Index", index);
        button->setFocusPolicy(Qt::TabFocus);
        connect(button, &QAbstractButton::clicked, this, [this, index] { emit Cmd1Clicked(index); });
        Cmd1_[static_cast<std::size_t>(index)] = button;
    }

    resultModel_ = new ResultListModel(engine_.Results(), this);
    LV1_ = new QTableView(page);
    LV1_->setObjectName(QStringLiteral("LV1"));
    LV1_->setModel(resultModel_);
    LV1_->setSelectionBehavior(QAbstractItemView::SelectRows);
    LV1_->setSelectionMode(QAbstractItemView::SingleSelection);
    LV1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    LV1_->setShowGrid(false);
    LV1_->setWordWrap(false);
    LV1_->setAlternatingRowColors(true);
    LV1_->setTextElideMode(Qt::ElideRight);
    LV1_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    LV1_->verticalHeader()->hide();
    // Uniform rows: the view never measures a row, whatever it holds.
    LV1_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    LV1_->verticalHeader()->setDefaultSectionSize(LV1_->fontMetrics().height() + 6);
    QHeaderView* columns = LV1_->horizontalHeader();
    columns->setHighlightSections(false);
    for (int column : {ResultListModel::TypeColumn, ResultListModel::PacketColumn, ResultListModel::SizeColumn}) {
        columns->setSectionResizeMode(column, QHeaderView::Interactive);
        columns->resizeSection(column, Px(1100));
    }
    columns->resizeSection(ResultListModel::NoteColumn, Px(3400)); // a stream's note: its tooltip has it whole
    columns->setSectionResizeMode(ResultListModel::AddressColumn, QHeaderView::Stretch);

    Text1_ = new QPlainTextEdit(page);
    Text1_->setObjectName(QStringLiteral("Text1"));
    Text1_->setReadOnly(true);
    Text1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1_->hide(); // shown by the command bar's data window toggle
    return page;
}

QWidget* Form1::buildOptionsPage() {
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("Frame1_1"));
    auto* columns = new QHBoxLayout(page);
    columns->setContentsMargins(Px(240), Px(180), Px(240), Px(120));
    columns->setSpacing(Px(360));

    auto* left = new QVBoxLayout;
    left->setSpacing(Px(90));
    left->addWidget(GroupLabel(QStringLiteral("★  选择网络适配器"), page));
    Combo2_ = new QComboBox(page);
    Combo2_->setObjectName(QStringLiteral("Combo2"));
    Combo2_->setMinimumWidth(Px(3600));
    left->addWidget(Combo2_);
    left->addSpacing(Px(120));

    left->addWidget(GroupLabel(QStringLiteral("★  设置影音传送带"), page));
    Text5_ = new QLineEdit(QStringLiteral("Text5"), page);
    Text5_->setObjectName(QStringLiteral("Text5"));
    Text5_->setPlaceholderText(QStringLiteral("单击选择下载程序"));
    Text5_->installEventFilter(this);
    left->addWidget(Text5_);
    left->addSpacing(Px(120));

    // The box stands in the gap of "★  丢弃长度小于            的数据包".
    auto* lengthRow = new QHBoxLayout;
    lengthRow->setSpacing(Px(60));
    lengthRow->addWidget(GroupLabel(QStringLiteral("★  丢弃长度小于"), page));
    Text2_ = new QLineEdit(QStringLiteral("100"), page);
    Text2_->setObjectName(QStringLiteral("Text2"));
    Text2_->setFixedWidth(Px(1000));
    Text2_->setAlignment(Qt::AlignRight);
    text2Watch_ = new Text2FocusWatch(Text2_, [this] { Text2_LostFocus(); }, this);
    lengthRow->addWidget(Text2_);
    lengthRow->addWidget(GroupLabel(QStringLiteral("的数据包"), page));
    lengthRow->addStretch();
    left->addLayout(lengthRow);
    left->addSpacing(Px(120));

    left->addWidget(new QLabel(QStringLiteral("------相关选项------"), page));
    Chk3_ = new velmora::xpcheckbox(QStringLiteral("获取所有数据包"), page);
    Chk3_->setObjectName(QStringLiteral("Chk3"));
    Chk3_->setValue(0);
    Chk2_ = new velmora::xpcheckbox(QStringLiteral("中文文本处理"), page);
    Chk2_->setObjectName(QStringLiteral("Chk2"));
    Chk2_->setValue(1);
    left->addWidget(Chk3_);
    left->addWidget(Chk2_);
    left->addStretch();
    // Rows are never squeezed: where the page is too low for them all (the smallest window with the aria2
    // or command fields), the column scrolls.
    auto* leftPanel = new QWidget;
    left->setContentsMargins(0, 0, Px(60), 0);
    leftPanel->setLayout(left);
    auto* leftScroll = new QScrollArea(page);
    leftScroll->setObjectName(QStringLiteral("OptionsLeftColumn"));
    leftScroll->setFrameShape(QFrame::NoFrame);
    leftScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    leftScroll->setWidgetResizable(true);
    leftScroll->setWidget(leftPanel);
    leftScroll->viewport()->setAutoFillBackground(false);
    leftPanel->setAutoFillBackground(false);
    columns->addWidget(leftScroll, 1);

    auto* right = new QVBoxLayout;
    right->setSpacing(Px(90));
    right->addWidget(new QLabel(QStringLiteral("----监视的文件类型----"), page));
    fileTypeModel_ = new FileTypeTableModel(fileTypeTable_, this);
    ListView2_ = new QTableView(page);
    ListView2_->setObjectName(QStringLiteral("ListView2"));
    ListView2_->setModel(fileTypeModel_);
    ListView2_->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView2_->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView2_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView2_->setShowGrid(false);
    ListView2_->setWordWrap(false);
    ListView2_->verticalHeader()->hide();
    ListView2_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ListView2_->verticalHeader()->setDefaultSectionSize(ListView2_->fontMetrics().height() + 6);
    // The columns share the width, so all of them show at the window's smallest size too.
    ListView2_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    ListView2_->horizontalHeader()->setHighlightSections(false);
    right->addWidget(ListView2_, 1);
    auto* tableButtons = new QHBoxLayout;
    auto makeButton = [page, tableButtons](const QString& name, const QString& caption) {
        auto* button = new velmora::xpcmdbutton(caption, page);
        button->setObjectName(name);
        button->setMinimumHeight(Px(375));
        tableButtons->addWidget(button);
        return button;
    };
    Cmd2_ = makeButton(QStringLiteral("Cmd2"), QStringLiteral("增加"));
    Cmd3_ = makeButton(QStringLiteral("Cmd3"), QStringLiteral("删除"));
    Cmd4_ = makeButton(QStringLiteral("Cmd4"), QStringLiteral("状态"));
    right->addLayout(tableButtons);
    columns->addLayout(right, 1);

    connect(Combo2_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0)
            Combo2_Click();
    });
    connect(Text2_, &QLineEdit::textChanged, this, &Form1::updateExtractionOptions);
    connect(Chk3_, &velmora::xpcheckbox::propertyChanged, this, [this](const QString& key) {
        if (key == QLatin1String("Value"))
            updateExtractionOptions();
    });
    connect(Cmd2_, &QAbstractButton::clicked, this, &Form1::Cmd2_Click);
    connect(Cmd3_, &QAbstractButton::clicked, this, &Form1::Cmd3_Click);
    connect(Cmd4_, &QAbstractButton::clicked, this, &Form1::Cmd4_Click);
    connect(ListView2_, &QTableView::clicked, this, &Form1::ListView2_ItemClick);
    return page;
}

QAbstractButton* Form1::Cmd1(int index) const {
    if (index < 0 || index >= static_cast<int>(Cmd1_.size()))
        return nullptr;
    return Cmd1_[static_cast<std::size_t>(index)];
}

QWidget* Form1::Frame1(int index) const {
    if (index < 0 || index >= static_cast<int>(Frame1_.size()))
        return nullptr;
    return Frame1_[static_cast<std::size_t>(index)];
}

// ---- Start-up --------------------------------------------------------------------------------------------

void Form1::Form_Load() {
    // 1. Tab pages: the operation page in front.
    BringFrameToFront(0);

    // 2. Notification icon.
    if (options_.trayIcon) {
        tray_ = new TrayIcon(this);
        tray_->AddTrayIcon(this);
        tray_->SetTrayTip(ProductInfo::TrayTip());
    }

    // 3. Capture component.
    vpacket_ = std::make_unique<velmora::CaptureComponent>();
    vpacket_->SetPacketReceived([this](std::int32_t numbytes) { vpacket_PacketReceived(numbytes); });
    // Called on the capture thread: only posts, the frames are handled on this thread.
    vpacket_->SetFramesAvailable([this] { scheduleDispatch(); });
    CurrentSelectedAdapter.clear();

    // 4. Adapter list.
    fillAdapterList();

    // 5. Settings file, with the shipped defaults copied in when there is none yet.
    const QString iniFileName = SettingsLocation::IniFileName(options_.settingsPath);
    QDir().mkpath(QFileInfo(iniFileName).absolutePath());
    const QString defaults =
        options_.defaultSettingsPath.isEmpty() ? SettingsLocation::DefaultSettingsFile() : options_.defaultSettingsPath;
    settings_.SetIniFileName(Utf8(iniFileName));
    settings_.SetErrorHandler([this](const velmora::SettingsError& error) { showSettingsError(error); });
    if (!defaults.isEmpty()) {
        if (auto failed = velmora::EnsureSettingsFile(Utf8(iniFileName), Utf8(defaults)))
            showSettingsError(*failed);
    }

    // 6. The adapter used last time.
    selectSavedAdapter();

    // 7. Download manager path (its change handler writes it back).
    Text5_->setText(QString::fromStdString(
        settings_.GetIniString(velmora::keys::kDownloadPathSection, velmora::keys::kPathReadKey)));
    connect(Text5_, &QLineEdit::textChanged, this, &Form1::Text5_Change);
    Text5_Change();

    // 8. Minimum packet length; empty when the key is missing.
    Text2_->setText(QString::fromStdString(velmora::ReadMinimumLength(settings_)));
    updateExtractionOptions();

    // 9. File-type table.
    loadFileTypeTable();

    // 10. Start page.
    if (WebBr1_)
        WebBr1_->setUrl(StartPage::Address());

    // 11. To the top.
    raise();
}

void Form1::fillAdapterList() {
    adapterNames_.clear();
    if (options_.adapters) {
        for (const velmora::AdapterInfo& adapter : *options_.adapters)
            adapterNames_.push_back(adapter.name);
    } else {
        adapterNames_ = vpacket_->ListAdapters();
    }
    const QSignalBlocker blocker(Combo2_);
    Combo2_->clear();
    for (const std::string& name : adapterNames_)
        Combo2_->addItem(QString::fromStdString(name));
    // A combo box selects its first entry by itself; start-up makes the choice.
    Combo2_->setCurrentIndex(-1);
}

void Form1::selectSavedAdapter() {
    if (Combo2_->count() == 0)
        return;
    // The original took the value as a 16-bit integer; a missing, negative or odd value reads as 0.
    std::int64_t k = velmora::ParseLeadingNumber(
        settings_.GetIniString(velmora::keys::kAdaptorsSection, velmora::keys::kAdaptorUsedKey));
    if (k < 0 || k > std::numeric_limits<std::int16_t>::max())
        k = 0;
    const int last = Combo2_->count() - 1;
    const int index = k > last ? 0 : static_cast<int>(k);
    if (Combo2_->currentIndex() == index)
        Combo2_Click();
    else
        Combo2_->setCurrentIndex(index); // runs Combo2_Click, which writes the index back
}

void Form1::loadFileTypeTable() {
    fileTypeModel_->Load(velmora::LoadFileTypeTable(settings_));
}

// ---- Capture control -------------------------------------------------------------------------------------

bool Form1::IsCapturing() const { return Cmd1_[0]->text() != kStartCaption; }

void Form1::Cmd1_Click(int index) {
    if (index != 0)
        return;
    if (Cmd1_[0]->text() == kStartCaption)
        StartCapture();
    else
        StopCapture();
}

bool Form1::LookupNetwork(const QString& name, std::uint32_t& address, std::uint32_t& mask) const {
    address = 0;
    mask = 0;
    if (options_.adapters) {
        for (const velmora::AdapterInfo& adapter : *options_.adapters) {
            if (QString::fromStdString(adapter.name) == name) {
                address = adapter.address;
                mask = adapter.mask;
                return true;
            }
        }
        return false;
    }
    return vpacket_->LookupNetwork(Utf8(name), address, mask).ok;
}

void Form1::StartCapture() {
    text2Watch_->CheckPending(); // the button takes no focus: the box may still hold what the user typed
    if (CurrentSelectedAdapter.isEmpty()) {
        Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("未选择适配器"),
                         QStringLiteral("你必须首先选择一个网络适配器！"));
        BringFrameToFront(1);
        Combo2_->setFocus();
        return;
    }
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
    LookupNetwork(CurrentSelectedAdapter, address, mask);
    if (address == 0) {
        Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("适配器错误"),
                         QStringLiteral("适配器错误，请重新选择适配器！"));
        BringFrameToFront(1);
        Combo2_->setFocus();
        return;
    }

    velmora::CaptureComponent& component = *vpacket_;
    const velmora::CaptureResult opened = component.OpenAdapter(Utf8(CurrentSelectedAdapter));
    if (!opened) {
        showOpenAdapterFailure(QString::fromStdString(opened.message));
        return;
    }
    component.SetPacketFilter(velmora::CaptureComponent::kPromiscuous);
    component.SetReadTimeout(1000);
    component.AllocatePacket();
    component.InitPacket(velmora::CaptureComponent::kSnapLength);
    component.SetBufferSize(velmora::CaptureComponent::kMaxFrameBytes);
    const velmora::CaptureResult started = component.StartCapture();
    if (!started) {
        // Activation is where libpcap checks the rights on some systems.
        component.CloseAdapter();
        showOpenAdapterFailure(QString::fromStdString(started.message));
        return;
    }
    // Only now: a start that fails keeps the earlier run. No frame has been handled yet.
    ResetCaptureState();
    liveCapture_ = true;
    Cmd1_[0]->setText(kStopCaption);
    Status1_->SetPanelText(1, QStringLiteral("状态：嗅探开始"));
    refreshCaptureFigures();
    figuresTimer_->start();
    tlsProbe_->CaptureStarted();
}

void Form1::StopCapture() {
    StopCaptureComponent();
    Cmd1_[0]->setText(kStartCaption);
}

void Form1::StopCaptureComponent() {
    // Frames still queued belong to the stopped capture: they are dropped, never shown.
    liveCapture_ = false;
    vpacket_->StopCapture();
    vpacket_->CloseAdapter();
    tlsProbe_->CaptureEnded();
    ShowNewRows(); // what was found before the stop
    https_->CaptureEnded();
    figuresTimer_->stop();
    refreshCaptureFigures();
    Status1_->SetPanelText(1, QStringLiteral("状态：嗅探结束"));
}

void Form1::ResetCaptureState() {
    resultModel_->ClearRows(); // the engine's rows, with the view told
    engine_.Reset();
    https_->CaptureStarting();
    Text1_->clear();
}

void Form1::showOpenAdapterFailure(const QString& reason) {
    Dialogs::Message(
        this, QMessageBox::Critical, QStringLiteral("适配器错误"),
        QStringLiteral("无法打开网络适配器“%1”，嗅探没有开始。\n\n原因：%2\n\n"
                       "捕获网络数据需要特权：以 root 身份运行本程序，或者让普通用户也能捕获：先运行\n"
                       "sudo dpkg-reconfigure velmora\n"
                       "并对“是否允许非超级用户用 Velmora 捕获数据包？”回答“是”，再把自己加入 velmora 组：\n"
                       "sudo usermod -aG velmora $USER\n"
                       "然后注销并重新登录。")
            .arg(CurrentSelectedAdapter, reason.isEmpty() ? QStringLiteral("未知") : reason));
}

void Form1::Combo2_Click() {
    const int index = Combo2_->currentIndex();
    if (index < 0)
        return;
    CurrentSelectedAdapter = Combo2_->itemText(index);
    Status1_->SetPanelText(2, CurrentSelectedAdapter);
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
    LookupNetwork(CurrentSelectedAdapter, address, mask);
    Status1_->SetPanelText(3, LongToIP(address));
    Status1_->SetPanelText(4, LongToIP(mask));
    settings_.WriteIniString(velmora::keys::kAdaptorsSection, velmora::keys::kAdaptorUsedKey, std::to_string(index));
}

void Form1::refreshCaptureFigures() {
    if (!vpacket_)
        return;
    const HttpsCapture::Figures figures = https_->FiguresText();
    Status1_->ShowCaptureFigures(vpacket_->Stats(), figures.brief, tlsProbe_->WithFigures(figures.detail));
}

// ---- Frames ----------------------------------------------------------------------------------------------

void Form1::scheduleDispatch() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            // New rows are shown a few times a second, not after every batch: at tens of thousands of
            // frames a second, laying out and painting LV1 per batch would cost more than the frames.
            const std::size_t handled = handleFrames(kFramesPerBatch);
            if (handled < kFramesPerBatch || !rowsShownRecently_.isValid() || rowsShownRecently_.hasExpired(100))
                ShowNewRows();
            else if (!showRowsTimer_->isActive())
                showRowsTimer_->start();
        },
        Qt::QueuedConnection);
}

std::size_t Form1::handleFrames(std::size_t maxFrames) {
    const std::size_t handled = vpacket_->DispatchPending(maxFrames);
    if (handled > 0)
        emit FramesHandled(handled);
    if (liveCapture_ && vpacket_->Finished()) {
        ShowNewRows();
        captureInterrupted();
    }
    return handled;
}

void Form1::ShowNewRows() {
    showRowsTimer_->stop();
    rowsShownRecently_.start();
    QScrollBar* bar = LV1_->verticalScrollBar();
    // Follow new rows only while the user is looking at the end of the list.
    const bool atBottom = bar->value() >= bar->maximum();
    if (resultModel_->FlushPending() > 0 && atBottom)
        LV1_->scrollToBottom();
}

std::size_t Form1::DispatchFrames(std::size_t maxFrames) {
    const std::size_t handled = handleFrames(maxFrames);
    ShowNewRows();
    return handled;
}

void Form1::captureInterrupted() {
    // The adapter went away or failed under a running capture: end it as the stop button would, so
    // the window does not claim to capture, and say why.
    const velmora::CaptureResult end = vpacket_->EndResult();
    StopCapture();
    Status1_->SetPanelText(1, QStringLiteral("状态：嗅探中断"));
    Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("适配器错误"),
                     QStringLiteral("网络适配器“%1”停止了工作，嗅探已经结束。找到的地址仍在列表中。\n\n原因：%2")
                         .arg(CurrentSelectedAdapter,
                              end.message.empty() ? QStringLiteral("未知") : QString::fromStdString(end.message)));
}

void Form1::vpacket_PacketReceived(std::int32_t) {
    // The whole frame: the engine stores and scans its first bytes and follows the connections in all of it.
    engine_.FrameReceived(vpacket_->CurrentFrame(), vpacket_->CurrentLinkType(), extractionOptions_,
                          &vpacket_->CurrentFrameMarkers(), vpacket_->CurrentTimestamp());
}

void Form1::updateExtractionOptions() {
    // Read on every change rather than on every frame: the handler sees the same values either way.
    // Any value other than 0 and 1 lists nothing, as the frame handler's modes say.
    extractionOptions_.allPacketsValue = Chk3_->Value();
    extractionOptions_.minimumLength = static_cast<double>(velmora::ParseLeadingNumber(Text2_->text().toStdU16String()));
}

// ---- Options tab -----------------------------------------------------------------------------------------

void Form1::Text2_LostFocus() {
    const QString text = Text2_->text();
    if (text.isEmpty()) {
        Text2_->setText(QStringLiteral("0"));
        return;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("错误"),
                             QStringLiteral("输入错误！只能输入0-9的数字"));
            Text2_->setText(QStringLiteral("0"));
            return;
        }
    }
    settings_.WriteIniString(velmora::keys::kFiterLongSection, velmora::keys::kLongKey, Utf8(text));
}

void Form1::Text5_Change() {
    settings_.WriteIniString(velmora::keys::kDownloadPathSection, velmora::keys::kPathWriteKey, Utf8(Text5_->text()));
}

void Form1::Text5_Click() {
    if (auto chosen = Dialogs::OpenFileName(this, QStringLiteral("打开"), lastDialogFileName_,
                                            QStringLiteral("程序文件(*.exe);;所有文件(*)")))
        lastDialogFileName_ = *chosen;
    Text5_->setText(lastDialogFileName_);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Text5_ && event->type() == QEvent::MouseButtonRelease) {
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            QMetaObject::invokeMethod(this, &Form1::Text5_Click, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

// ---- File-type table -------------------------------------------------------------------------------------

void Form1::SaveFileTypes() { velmora::FileType(fileTypeTable_, settings_); }

void Form1::Cmd2_Click() {
    if (!form3_) {
        form3_ = new Form3(this, fileTypeModel_, [this] { SaveFileTypes(); });
        form3_->show();
    } else {
        form3_->show();
        form3_->raise();
        form3_->activateWindow();
    }
    form3_->ResetChoices();
}

int Form1::selectedFileTypeRow() const {
    // An empty table, or rows but no selection: the commands have nothing to act on.
    if (fileTypeModel_->rowCount() == 0)
        return -1;
    const QModelIndex current = ListView2_->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void Form1::Cmd3_Click() {
    const int row = selectedFileTypeRow();
    if (row < 0)
        return;
    fileTypeModel_->Remove(row);
    SaveFileTypes();
}

void Form1::Cmd4_Click() {
    const int row = selectedFileTypeRow();
    if (row < 0)
        return;
    const QString disabled = QString::fromStdU16String(std::u16string(velmora::kDisabledState));
    QString state;
    if (Cmd4_->text() == disabled) {
        state = disabled;
        Cmd4_->setText(QString::fromStdU16String(std::u16string(velmora::kInUseState)));
    } else {
        Cmd4_->setText(disabled);
    }
    fileTypeModel_->SetState(row, state);
    velmora::WriteFileTypeState(settings_, static_cast<std::size_t>(row), state.toStdU16String());
}

void Form1::ListView2_ItemClick() {
    const int row = selectedFileTypeRow();
    if (row < 0)
        return;
    const bool disabled = fileTypeModel_->State(row).toStdU16String() == velmora::kDisabledState;
    Cmd4_->setText(QString::fromStdU16String(std::u16string(disabled ? velmora::kInUseState : velmora::kDisabledState)));
}

// ---- Window ----------------------------------------------------------------------------------------------

void Form1::BringFrameToFront(int index) {
    if (QWidget* frame = Frame1(index))
        frameStack_->setCurrentWidget(frame);
}

void Form1::Form_Resize() {
    // Nothing to place before the controls exist, and nothing while minimised.
    if (!xp_Form_ || isMinimized())
        return;
    const bool dataWindowShown = Cmd1_[2]->text() != CommandBar::HiddenCaption();
    const MainWindowLayout l = MainWindowLayout::Compute(size(), dataWindowShown, TabS1_->sizeHint().height(),
                                                         dataWindowSizer_ ? dataWindowSizer_->Height()
                                                                          : MainWindowLayout::kDataWindowHeight);
    // Too small: grow to the minimum, which lays out again; the rest below already uses the grown size.
    if (l.snapped)
        resize(l.window);

    xp_Form_->setGeometry(l.xp_Form);
    xp_Form_->make_trans(this);
    TabS1_->setGeometry(l.TabS1Tabs);
    TabS1Pane_->setGeometry(l.TabS1Pane);
    closeb1_->move(l.closeb1.topLeft());
    maxb1_->move(l.maxb1.topLeft());
    minb1_->move(l.minb1.topLeft());
    frameStack_->setGeometry(l.Frame1);
    // The stack sizes only the frame in front; both must have the client area's size.
    for (QWidget* frame : Frame1_)
        frame->setGeometry(QRect(QPoint(0, 0), l.Frame1.size()));
    Status1_->setGeometry(l.Status1);
    LV1_->setGeometry(l.LV1);
    Text1_->setGeometry(l.Text1);

    Label11_->setGeometry(l.Label11);
    Label10_->setGeometry(l.Label10);
    Frame2_->setGeometry(l.Frame2);
    if (WebBr1_) {
        const int top = static_cast<velmora::xpgroupbox*>(Frame2_)->frameTop();
        WebBr1_->setGeometry(QRect(3, top + 3, l.Frame2.width() - 6, l.Frame2.height() - top - 6));
    }
    for (std::size_t i = 0; i < Cmd1_.size(); ++i)
        if (Cmd1_[i])
            Cmd1_[i]->setGeometry(l.Cmd1[i]);
}

void Form1::minb1_Click() {
    showMinimized();
}

void Form1::maxb1_Click() {
    const Qt::WindowStates state = windowState();
    if (state & Qt::WindowMinimized)
        return;
    if (state & Qt::WindowMaximized) {
        maxb1_->setValue(velmora::xptopbuttons::Maximise);
        showNormal();
        maxb1_->setToolTip(QStringLiteral("Maximize"));
    } else {
        maxb1_->setValue(velmora::xptopbuttons::Restore);
        showMaximized();
        maxb1_->setToolTip(QStringLiteral("Restore"));
    }
}

// The title's double-click maximises and restores too; the button must not show the stale glyph.
void Form1::syncMaximiseButton() {
    const Qt::WindowStates state = windowState();
    if (state & Qt::WindowMinimized)
        return;
    const bool maximised = state & (Qt::WindowMaximized | Qt::WindowFullScreen);
    maxb1_->setValue(maximised ? velmora::xptopbuttons::Restore : velmora::xptopbuttons::Maximise);
    maxb1_->setToolTip(maximised ? QStringLiteral("Restore") : QStringLiteral("Maximize"));
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Form1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        syncMaximiseButton();
        // The shape differs between the states (rounded only in the normal one), even where the size does not.
        Form_Resize();
    }
}

void Form1::HideWindow() {
    // Without a tray there would be no way back to a hidden window.
    if (tray_ && tray_->IsInstalled() && QSystemTrayIcon::isSystemTrayAvailable())
        hide();
    else
        showMinimized();
}

void Form1::Unload() {
    if (unloaded_)
        return;
    emit Unloading();
    if (tray_)
        tray_->RemoveTrayIcon();
    if (form3_)
        form3_->close();
    unloaded_ = true;
    close();
    emit Unloaded();
}

void Form1::closeEvent(QCloseEvent* event) {
    text2Watch_->CheckPending();
    if (unloaded_) {
        event->accept();
        return;
    }
    event->ignore();
    HideWindow();
}

void Form1::showSettingsError(const velmora::SettingsError& e) {
    Dialogs::Message(this, QMessageBox::Critical, QString::fromUtf8(velmora::kSettingsErrorTitle),
                     QString::fromStdString(e.detail.empty() ? e.message : e.message + '\n' + e.detail));
}

Form3* Form1::form3() const { return form3_.data(); }
