#include "mainwindow/Form1.h"

#include "capture/pcap/CaptureComponent.h"
#include "desktop/TrayIcon.h"
#include "mainwindow/CommandBar.h"
#include "mainwindow/DataWindow.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/FileTypeTableModel.h"
#include "mainwindow/Form3.h"
#include "mainwindow/LongToIP.h"
#include "mainwindow/ProductInfo.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/ResultListOperations.h"
#include "mainwindow/SettingsLocation.h"
#include "mainwindow/StartPage.h"
#include "mainwindow/StatusPanels.h"
#include "settings/DefaultSettings.h"
#include "settings/FileTypeSettings.h"
#include "settings/LeadingNumber.h"
#include "settings/SettingsKeys.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
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

// The design lays the window out in twips; the widgets work in pixels.
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
    setMinimumSize(Px(9285), Px(7485));
    resize(Px(12000), Px(9000));
    buildControls();
    Form_Load();
    new ResultListOperations(this);
    new CommandBar(this);
    new DataWindow(this);
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
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(Px(120), Px(90), Px(120), Px(60));
    root->setSpacing(Px(90));

    // Header: product name and the maker's address beside the start page.
    auto* header = new QHBoxLayout;
    auto* brand = new QVBoxLayout;
    Label11_ = new QLabel(QStringLiteral("Velmora"), this);
    Label11_->setObjectName(QStringLiteral("Label11"));
    QFont brandFont = Label11_->font();
    brandFont.setPointSizeF(brandFont.pointSizeF() * 1.6);
    brandFont.setBold(true);
    Label11_->setFont(brandFont);
    Label10_ = new QLabel(ProductInfo::MakerShortAddress(), this);
    Label10_->setObjectName(QStringLiteral("Label10"));
    brand->addStretch();
    brand->addWidget(Label11_, 0, Qt::AlignHCenter);
    brand->addWidget(Label10_, 0, Qt::AlignHCenter);
    brand->addStretch();
    header->addLayout(brand);

    auto* frame2 = new QGroupBox(this);
    frame2->setObjectName(QStringLiteral("Frame2"));
    frame2->setMinimumHeight(Px(1155));
    frame2->setMaximumHeight(Px(1155) + 20);
    Frame2_ = frame2;
    auto* frame2Layout = new QVBoxLayout(frame2);
    frame2Layout->setContentsMargins(2, 2, 2, 2);
    if (options_.webBrowser) {
        webProfile_ = StartPage::CreateProfile(nullptr);
        WebBr1_ = new QWebEngineView(frame2);
        WebBr1_->setObjectName(QStringLiteral("WebBr1"));
        WebBr1_->setPage(new StartPage(webProfile_, WebBr1_));
        WebBr1_->setContextMenuPolicy(Qt::NoContextMenu);
        frame2Layout->addWidget(WebBr1_);
    }
    header->addWidget(frame2, 1);
    root->addLayout(header);

    TabS1_ = new QTabBar(this);
    TabS1_->setObjectName(QStringLiteral("TabS1"));
    TabS1_->addTab(QStringLiteral("操作区"));
    TabS1_->addTab(QStringLiteral("设置区"));
    TabS1_->setExpanding(false);
    TabS1_->setDrawBase(true);
    frameStack_ = new QStackedWidget(this);
    frameStack_->setObjectName(QStringLiteral("Frame1Stack"));
    Frame1_[0] = buildOperationPage();
    Frame1_[1] = buildOptionsPage();
    frameStack_->addWidget(Frame1_[0]);
    frameStack_->addWidget(Frame1_[1]);
    auto* tabs = new QVBoxLayout;
    tabs->setSpacing(0);
    tabs->addWidget(TabS1_);
    tabs->addWidget(frameStack_, 1);
    root->addLayout(tabs, 1);

    Status1_ = new StatusPanels(this);
    Status1_->setObjectName(QStringLiteral("Status1"));
    root->addWidget(Status1_);

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

QWidget* Form1::buildOperationPage() {
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("Frame1_0"));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(Px(120), Px(120), Px(120), Px(60));
    layout->setSpacing(Px(105));

    auto* bar = new QHBoxLayout;
    bar->setSpacing(Px(195));
    const std::array<std::pair<int, QString>, 6> captions{{{0, kStartCaption},
                                                          {2, QStringLiteral("显示数据窗口")},
                                                          {3, QStringLiteral("搜索缓存")},
                                                          {4, QStringLiteral("主   页")},
                                                          {5, QStringLiteral("关   于")},
                                                          {6, QStringLiteral("退   出")}}};
    for (const auto& [index, caption] : captions) {
        auto* button = new QPushButton(caption, page);
        button->setObjectName(QStringLiteral("Cmd1_%1").arg(index));
        button->setProperty("Index", index);
        button->setMinimumSize(Px(1245), Px(375));
        button->setFocusPolicy(Qt::TabFocus);
        connect(button, &QPushButton::clicked, this, [this, index] { emit Cmd1Clicked(index); });
        Cmd1_[static_cast<std::size_t>(index)] = button;
        bar->addWidget(button);
    }
    bar->addStretch();
    layout->addLayout(bar);

    resultModel_ = new ResultListModel(results_, this);
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
    columns->setSectionResizeMode(ResultListModel::TypeColumn, QHeaderView::Interactive);
    columns->setSectionResizeMode(ResultListModel::AddressColumn, QHeaderView::Stretch);
    columns->setSectionResizeMode(ResultListModel::PacketColumn, QHeaderView::Interactive);
    columns->resizeSection(ResultListModel::TypeColumn, Px(1100));
    columns->resizeSection(ResultListModel::PacketColumn, Px(1100));
    layout->addWidget(LV1_, 1);

    Text1_ = new QPlainTextEdit(page);
    Text1_->setObjectName(QStringLiteral("Text1"));
    Text1_->setReadOnly(true);
    Text1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1_->setFixedHeight(Px(1215));
    Text1_->hide(); // shown by the command bar's data window toggle
    layout->addWidget(Text1_);
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
    Text2_->installEventFilter(this);
    lengthRow->addWidget(Text2_);
    lengthRow->addWidget(GroupLabel(QStringLiteral("的数据包"), page));
    lengthRow->addStretch();
    left->addLayout(lengthRow);
    left->addSpacing(Px(120));

    left->addWidget(new QLabel(QStringLiteral("------相关选项------"), page));
    auto* chk3 = new QCheckBox(QStringLiteral("获取所有数据包"), page);
    chk3->setObjectName(QStringLiteral("Chk3"));
    chk3->setChecked(false);
    Chk3_ = chk3;
    auto* chk2 = new QCheckBox(QStringLiteral("中文文本处理"), page);
    chk2->setObjectName(QStringLiteral("Chk2"));
    chk2->setChecked(true);
    Chk2_ = chk2;
    left->addWidget(Chk3_);
    left->addWidget(Chk2_);
    left->addStretch();
    columns->addLayout(left, 1);

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
    ListView2_->horizontalHeader()->setStretchLastSection(true);
    ListView2_->horizontalHeader()->setHighlightSections(false);
    right->addWidget(ListView2_, 1);
    auto* tableButtons = new QHBoxLayout;
    auto makeButton = [page, tableButtons](const QString& name, const QString& caption) {
        auto* button = new QPushButton(caption, page);
        button->setObjectName(name);
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
    connect(Chk3_, &QAbstractButton::toggled, this, &Form1::updateExtractionOptions);
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
    settings_.SetErrorHandler([this](const velmora::SettingsError& error) {
        showSettingsError(QString::fromStdString(error.message), QString::fromStdString(error.detail));
    });
    if (!defaults.isEmpty()) {
        if (auto failed = velmora::EnsureSettingsFile(Utf8(iniFileName), Utf8(defaults)))
            showSettingsError(QString::fromStdString(failed->message), QString::fromStdString(failed->detail));
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

QString Form1::IniFileName() const { return QString::fromStdString(settings_.IniFileName()); }

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

    ResetCaptureState();

    velmora::CaptureComponent& component = *vpacket_;
    const velmora::CaptureResult opened = component.OpenAdapter(Utf8(CurrentSelectedAdapter));
    if (!opened) {
        showOpenAdapterFailure(QString::fromStdString(opened.message));
        return;
    }
    component.SetPacketFilter(velmora::CaptureComponent::kPromiscuous);
    component.SetReadTimeout(1000);
    component.AllocatePacket();
    component.InitPacket(velmora::CaptureComponent::kMaxFrameBytes);
    component.SetBufferSize(velmora::CaptureComponent::kMaxFrameBytes);
    const velmora::CaptureResult started = component.StartCapture();
    if (!started) {
        // Activation is where libpcap checks the rights on some systems.
        component.CloseAdapter();
        showOpenAdapterFailure(QString::fromStdString(started.message));
        return;
    }

    Cmd1_[0]->setText(kStopCaption);
    Status1_->SetPanelText(1, QStringLiteral("状态：嗅探开始"));
    refreshCaptureFigures();
    figuresTimer_->start();
}

void Form1::StopCapture() {
    StopCaptureComponent();
    Cmd1_[0]->setText(kStartCaption);
}

void Form1::StopCaptureComponent() {
    // Frames still queued belong to the stopped capture: they are dropped, never shown.
    vpacket_->StopCapture();
    vpacket_->CloseAdapter();
    figuresTimer_->stop();
    refreshCaptureFigures();
    Status1_->SetPanelText(1, QStringLiteral("状态：嗅探结束"));
}

void Form1::ResetCaptureState() {
    store_.Reset();
    resultModel_->ClearRows();
    Text1_->clear();
}

void Form1::showOpenAdapterFailure(const QString& reason) {
    const QString executable = QCoreApplication::applicationFilePath();
    Dialogs::Message(
        this, QMessageBox::Critical, QStringLiteral("适配器错误"),
        QStringLiteral("无法打开网络适配器“%1”，嗅探没有开始。\n\n原因：%2\n\n"
                       "捕获网络数据需要特权。请以 root 身份运行本程序，或者给程序授予捕获权限：\n"
                       "sudo setcap cap_net_raw,cap_net_admin=eip %3")
            .arg(CurrentSelectedAdapter, reason.isEmpty() ? QStringLiteral("未知") : reason, executable));
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
    const velmora::CaptureStats stats = vpacket_->Stats();
    Status1_->CapturePanel()->setText(QStringLiteral("已捕获 %1 帧，内核丢弃 %2 帧")
                                          .arg(QString::number(stats.received), QString::number(stats.droppedByKernel)));
}

// ---- Frames ----------------------------------------------------------------------------------------------

void Form1::scheduleDispatch() {
    QMetaObject::invokeMethod(this, [this] { DispatchFrames(); }, Qt::QueuedConnection);
}

std::size_t Form1::DispatchFrames(std::size_t maxFrames) {
    QScrollBar* bar = LV1_->verticalScrollBar();
    // Follow new rows only while the user is looking at the end of the list.
    const bool atBottom = bar->value() >= bar->maximum();
    const std::size_t handled = vpacket_->DispatchPending(maxFrames);
    if (resultModel_->FlushPending() > 0 && atBottom)
        LV1_->scrollToBottom();
    if (handled > 0)
        emit FramesHandled(handled);
    return handled;
}

void Form1::vpacket_PacketReceived(std::int32_t numbytes) {
    std::span<const std::uint8_t> frame = vpacket_->CurrentFrame();
    if (numbytes >= 0 && static_cast<std::size_t>(numbytes) < frame.size())
        frame = frame.first(static_cast<std::size_t>(numbytes));
    extractor_.vpacket_PacketReceived(frame, vpacket_->CurrentLinkType(), extractionOptions_);
}

void Form1::updateExtractionOptions() {
    // Read on every change rather than on every frame: the handler sees the same values either way.
    extractionOptions_.allPacketsValue = Chk3_->isChecked() ? 1 : 0;
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
    if (watched == Text2_ && event->type() == QEvent::FocusOut) {
        Text2_LostFocus();
    } else if (watched == Text5_ && event->type() == QEvent::MouseButtonRelease) {
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            QMetaObject::invokeMethod(this, &Form1::Text5_Click, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

// ---- File-type table -------------------------------------------------------------------------------------

void Form1::SaveFileTypes() { velmora::FileType(fileTypeTable_, settings_); }

void Form1::Cmd2_Click() {
    if (!form3_) {
        form3_ = new Form3(*this);
        form3_->show();
    } else {
        form3_->show();
        form3_->raise();
        form3_->activateWindow();
    }
    form3_->ResetChoices();
}

void Form1::Cmd3_Click() {
    if (fileTypeModel_->rowCount() == 0)
        return;
    const QModelIndex current = ListView2_->currentIndex();
    if (!current.isValid())
        return; // rows but no selection: nothing to delete
    fileTypeModel_->Remove(current.row());
    SaveFileTypes();
}

void Form1::Cmd4_Click() {
    if (fileTypeModel_->rowCount() == 0)
        return;
    const QModelIndex current = ListView2_->currentIndex();
    if (!current.isValid())
        return;
    const int row = current.row();
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
    if (fileTypeModel_->rowCount() == 0)
        return;
    const QModelIndex current = ListView2_->currentIndex();
    if (!current.isValid())
        return;
    const bool disabled = fileTypeModel_->State(current.row()).toStdU16String() == velmora::kDisabledState;
    Cmd4_->setText(QString::fromStdU16String(std::u16string(disabled ? velmora::kInUseState : velmora::kDisabledState)));
}

// ---- Window ----------------------------------------------------------------------------------------------

void Form1::BringFrameToFront(int index) {
    if (QWidget* frame = Frame1(index))
        frameStack_->setCurrentWidget(frame);
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
    if (unloaded_) {
        event->accept();
        return;
    }
    event->ignore();
    HideWindow();
}

void Form1::showSettingsError(const QString& message, const QString& detail) {
    Dialogs::Message(this, QMessageBox::Critical, QString::fromUtf8(velmora::kSettingsErrorTitle),
                     detail.isEmpty() ? message : message + QLatin1Char('\n') + detail);
}

Form3* Form1::form3() const { return form3_.data(); }
