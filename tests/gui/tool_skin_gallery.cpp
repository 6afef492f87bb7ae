// Shows every skinned control in every look, inside a window framed by the skinned frame itself.
//   tool_skin_gallery                     interactive
//   tool_skin_gallery --screenshot FILE   saves the window (QWidget::grab) as PNG and quits
//   tool_skin_gallery --screen FILE       saves the whole screen (with the window's real shape) and quits
//   --crop X,Y,W,H --zoom N               saves only that part of the picture, N times enlarged
#include "skin/CanvasSkin.h"
#include "skin/SkinPictures.h"
#include "skin/mod_gardient.h"
#include "skin/xp_canvas.h"
#include "skin/xpcheckbox.h"
#include "skin/xpcmdbutton.h"
#include "skin/xpgroupbox.h"
#include "skin/xphelp.h"
#include "skin/xptopbuttons.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <functional>

using namespace velmora;

namespace {

// Puts a control into its hover or pressed look as the pointer would, then stops its hover timer so the look
// stays for the picture.
void freeze(QWidget* w) {
    if (auto* timer = w->findChild<QTimer*>(QStringLiteral("Timer1")))
        timer->stop();
}

void hover(QWidget* w) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
    freeze(w);
}

void press(QWidget* w) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QMouseEvent down(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &down);
    freeze(w);
}

QLabel* note(const QString& text) {
    auto* label = new QLabel(text);
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 0.85);
    label->setFont(f);
    label->setStyleSheet(QStringLiteral("color: #555"));
    return label;
}

QWidget* titled(const QString& text, QWidget* w) {
    auto* box = new QWidget;
    auto* v = new QVBoxLayout(box);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(2);
    v->addWidget(w, 0, Qt::AlignLeft);
    v->addWidget(note(text), 0, Qt::AlignLeft);
    return box;
}

// A small framed window inside the gallery: frame, caption buttons and a button, cut to shape like a real one.
class MiniWindow : public QWidget {
public:
    MiniWindow(const QString& caption, const CanvasSkin& skin, bool maximisedLook) : canvas_(new xp_canvas(this)) {
        canvas_->setSkin(skin, skin);
        canvas_->setCaption(caption);
        for (int value : {xptopbuttons::Minimise, maximisedLook ? xptopbuttons::Restore : xptopbuttons::Maximise,
                          xptopbuttons::Close})
            buttons_.push_back(new xptopbuttons(value, canvas_));
        auto* ok = new xpcmdbutton(QStringLiteral("确定"), canvas_);
        ok->setGeometry(20, 45, 83, 25);
        setFixedSize(260, 95);
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        canvas_->setGeometry(rect());
        const int W = width();
        for (int i = 0; i < 3; ++i)
            buttons_[size_t(i)]->move(W - 73 + 23 * i, 6);
        canvas_->make_trans(this);
    }

private:
    xp_canvas* canvas_;
    std::vector<xptopbuttons*> buttons_;
};

class GradientStrip : public QWidget {
public:
    GradientStrip() { setFixedSize(380, 24); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        mod_gardient::draw_gradient(p, size(), 0x8B3A0E, 0xF5D9B8);
    }
};

QWidget* pictureSheet() {
    // The shipped strips at 4x, to judge them pixel by pixel: name, row, column, column span.
    struct Place {
        const char* name;
        int row, column, span;
    };
    const Place places[] = {
        {"imgtop1", 0, 0, 2},       {"imgtop2", 0, 2, 2},       {"imgtopmax1", 1, 0, 2},    {"imgtopmax2", 1, 2, 2},
        {"imgleft1", 2, 0, 1},      {"imgleft2", 2, 1, 1},      {"imgright1", 2, 2, 1},     {"imgright2", 2, 3, 1},
        {"imgbottom1", 3, 0, 2},    {"imgbottom2", 3, 2, 2},    {"xpcmdbutton", 4, 0, 2},   {"xpgroupbox", 4, 2, 1},
        {"Image1", 4, 3, 1},        {"xptopbuttons0", 5, 0, 2}, {"xptopbuttons1", 5, 2, 2}, {"xptopbuttons2", 6, 0, 2},
        {"xptopbuttons3", 6, 2, 2}, {"xphelp", 7, 0, 2},
    };
    auto* sheet = new QWidget;
    auto* grid = new QGridLayout(sheet);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(6);
    auto zoomed = [](const QString& name) {
        const QImage img = SkinPictures::load(name);
        QPixmap out(img.size() * 4);
        out.fill(QColor(0xB0B0B0));
        QPainter p(&out);
        for (int y = 0; y < out.height(); y += 4)
            for (int x = 0; x < out.width(); x += 4)
                if (((x + y) / 4) % 2)
                    p.fillRect(x, y, 4, 4, QColor(0xD0D0D0));
        p.drawImage(QRect(QPoint(0, 0), out.size()), img);
        p.end();
        auto* label = new QLabel;
        label->setPixmap(out);
        return titled(name, label);
    };
    for (const Place& place : places)
        grid->addWidget(zoomed(QLatin1String(place.name)), place.row, place.column, 1, place.span,
                        Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(zoomed(QStringLiteral("xpcheckbox")), 0, 4, 8, 1, Qt::AlignLeft | Qt::AlignTop);
    grid->setColumnStretch(5, 1);
    return sheet;
}

class Gallery : public QWidget {
public:
    Gallery() : canvas_(new xp_canvas(this)), content_(new QWidget(canvas_)) {
        setWindowFlags(Qt::FramelessWindowHint);
        canvas_->setCaption(QStringLiteral("Velmora V3.0 - 皮肤控件一览"));
        minb1_ = new xptopbuttons(xptopbuttons::Minimise, canvas_);
        maxb1_ = new xptopbuttons(xptopbuttons::Maximise, canvas_);
        closeb1_ = new xptopbuttons(xptopbuttons::Close, canvas_);
        maxb1_->setToolTip(QStringLiteral("Maximize"));
        connect(minb1_, &xptopbuttons::Click, this, &QWidget::showMinimized);
        connect(closeb1_, &xptopbuttons::Click, this, &QWidget::close);
        connect(maxb1_, &xptopbuttons::Click, this, [this] {
            if (isMaximized()) {
                maxb1_->setValue(xptopbuttons::Maximise);
                maxb1_->setToolTip(QStringLiteral("Maximize"));
                showNormal();
            } else {
                maxb1_->setValue(xptopbuttons::Restore);
                maxb1_->setToolTip(QStringLiteral("Restore"));
                showMaximized();
            }
        });

        auto* v = new QVBoxLayout(content_);
        v->setContentsMargins(8, 6, 8, 6);
        v->setSpacing(10);

        // Frames: active, inactive, maximised.
        auto* frames = new QHBoxLayout;
        const CanvasSkin active = CanvasSkin::shipped(1);
        const CanvasSkin inactive = CanvasSkin::shipped(2);
        CanvasSkin activeMax = active, inactiveMax = inactive;
        activeMax.imgtop = active.imgtopmax;
        inactiveMax.imgtop = inactive.imgtopmax;
        frames->addWidget(
            titled(QStringLiteral("xp_canvas active"), new MiniWindow(QStringLiteral("活动窗口"), active, false)));
        frames->addWidget(titled(QStringLiteral("xp_canvas inactive"),
                                 new MiniWindow(QStringLiteral("非活动窗口"), inactive, false)));
        frames->addWidget(
            titled(QStringLiteral("maximised title"), new MiniWindow(QStringLiteral("最大化"), activeMax, true)));
        frames->addStretch();
        v->addLayout(frames);

        // Command buttons: the five looks, then stretched sizes.
        auto* buttons = new QHBoxLayout;
        const QStringList captions = {QStringLiteral("开始嗅探"), QStringLiteral("显示数据窗口"),
                                      QStringLiteral("复制地址"), QStringLiteral("保存列表"),
                                      QStringLiteral("清空列表")};
        std::vector<xpcmdbutton*> cmd;
        for (int i = 0; i < 5; ++i) {
            auto* b = new xpcmdbutton(captions[i]);
            b->setFixedSize(83, 25);
            cmd.push_back(b);
        }
        buttons->addWidget(titled(QStringLiteral("rest"), cmd[0]));
        buttons->addWidget(titled(QStringLiteral("hover"), cmd[1]));
        buttons->addWidget(titled(QStringLiteral("pressed"), cmd[2]));
        buttons->addWidget(titled(QStringLiteral("disabled"), cmd[3]));
        buttons->addWidget(titled(QStringLiteral("State 1"), cmd[4]));
        auto* wide = new xpcmdbutton(QStringLiteral("添加类型"));
        wide->setFixedSize(140, 40);
        buttons->addWidget(titled(QStringLiteral("140 x 40"), wide));
        auto* tiny = new xpcmdbutton;
        tiny->setFixedSize(6, 6);
        buttons->addWidget(titled(QStringLiteral("6 x 6"), tiny));
        buttons->addStretch();
        v->addLayout(buttons);
        looks_.push_back([=] {
            hover(cmd[1]);
            press(cmd[2]);
            cmd[3]->setEnabled(false);
            cmd[4]->setState(1);
        });

        // Check boxes: three values by four looks.
        auto* checks = new QGridLayout;
        checks->setHorizontalSpacing(14);
        const QStringList lookNames = {QStringLiteral("normal"), QStringLiteral("hover"), QStringLiteral("pressed"),
                                       QStringLiteral("disabled")};
        const QStringList valueNames = {QStringLiteral("未选"), QStringLiteral("选中"), QStringLiteral("第三态")};
        for (int value = 0; value < 3; ++value) {
            for (int look = 0; look < 4; ++look) {
                auto* c = new xpcheckbox(QStringLiteral("%1 %2").arg(valueNames[value], lookNames[look]));
                c->setValue(value);
                checks->addWidget(c, value, look);
                looks_.push_back([=] {
                    freeze(c);
                    if (look == 1)
                        hover(c);
                    else if (look == 2)
                        press(c);
                    else if (look == 3)
                        c->setEnabled(false);
                });
            }
        }
        checks->setColumnStretch(4, 1);
        v->addLayout(checks);

        // Group boxes and caption buttons side by side.
        auto* row = new QHBoxLayout;
        auto* group = new xpgroupbox(QStringLiteral("浏览器"));
        group->setFixedSize(200, 70);
        auto* inside = new QLabel(QStringLiteral("内容区"), group);
        inside->move(14, 26);
        auto* groupOff = new xpgroupbox(QStringLiteral("已禁用"));
        groupOff->setFixedSize(150, 70);
        groupOff->setEnabled(false);
        row->addWidget(titled(QStringLiteral("xpgroupbox"), group));
        row->addWidget(titled(QStringLiteral("disabled"), groupOff));

        auto* faces = new QGridLayout;
        faces->setSpacing(4);
        const QStringList faceNames = {QStringLiteral("close"), QStringLiteral("max"), QStringLiteral("min"),
                                       QStringLiteral("restore")};
        for (int face = 0; face < 4; ++face) {
            faces->addWidget(note(faceNames[face]), face, 0);
            for (int look = 0; look < 4; ++look) {
                auto* b = new xptopbuttons(face);
                faces->addWidget(b, face, look + 1);
                looks_.push_back([=] {
                    freeze(b);
                    if (look == 1)
                        hover(b);
                    else if (look == 2)
                        press(b);
                    else if (look == 3)
                        b->setEnabled(false);
                });
            }
        }
        faces->addWidget(note(QStringLiteral("help")), 4, 0);
        for (int look = 0; look < 3; ++look) {
            auto* h = new xphelp;
            faces->addWidget(h, 4, look + 1);
            looks_.push_back([=] {
                freeze(h);
                if (look == 1)
                    hover(h);
                else if (look == 2)
                    press(h);
            });
        }
        row->addLayout(faces);
        auto* gradient = new GradientStrip;
        row->addWidget(titled(QStringLiteral("draw_gradient"), gradient), 0, Qt::AlignTop);
        row->addStretch();
        v->addLayout(row);

        v->addWidget(pictureSheet());
        v->addStretch();
        resize(content_->sizeHint() + QSize(2 * xp_canvas::kBorder, xp_canvas::kTitleHeight + xp_canvas::kBorder));
    }

    // Puts every control into the look it stands for; run once the window is shown.
    void showLooks() {
        for (auto& look : looks_)
            look();
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        const int W = width(), H = height();
        canvas_->setGeometry(rect());
        content_->setGeometry(xp_canvas::kBorder, xp_canvas::kTitleHeight, W - 2 * xp_canvas::kBorder,
                              H - xp_canvas::kTitleHeight - xp_canvas::kBorder);
        closeb1_->move(W - 27, 6);
        maxb1_->move(W - 50, 6);
        minb1_->move(W - 73, 6);
        canvas_->make_trans(this);
    }

private:
    xp_canvas* canvas_;
    QWidget* content_;
    xptopbuttons* minb1_;
    xptopbuttons* maxb1_;
    xptopbuttons* closeb1_;
    std::vector<std::function<void()>> looks_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Save the window to FILE and quit."), QStringLiteral("FILE"));
    const QCommandLineOption screen(QStringLiteral("screen"), QStringLiteral("Save the whole screen to FILE and quit."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption crop(QStringLiteral("crop"), QStringLiteral("Save only X,Y,W,H of the picture."),
                                  QStringLiteral("X,Y,W,H"));
    const QCommandLineOption zoom(QStringLiteral("zoom"), QStringLiteral("Enlarge the saved picture N times."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    parser.addOptions({screenshot, screen, crop, zoom});
    parser.process(app);

    Gallery gallery;
    gallery.move(20, 20);
    gallery.show();
    gallery.activateWindow();
    QTimer::singleShot(300, &gallery, [&] {
        gallery.showLooks();
        if (!parser.isSet(screenshot) && !parser.isSet(screen))
            return;
        QTimer::singleShot(300, &gallery, [&] {
            auto finish = [&](QPixmap picture) {
                const QStringList part = parser.value(crop).split(QLatin1Char(','));
                if (part.size() == 4)
                    picture = picture.copy(part[0].toInt(), part[1].toInt(), part[2].toInt(), part[3].toInt());
                const int n = std::max(1, parser.value(zoom).toInt());
                return picture.scaled(picture.size() * n, Qt::IgnoreAspectRatio, Qt::FastTransformation);
            };
            bool ok = true;
            if (parser.isSet(screenshot))
                ok &= finish(gallery.grab()).save(parser.value(screenshot));
            if (parser.isSet(screen))
                ok &= finish(gallery.screen()->grabWindow(0)).save(parser.value(screen));
            if (!ok)
                std::fprintf(stderr, "could not save the picture\n");
            app.exit(ok ? 0 : 1);
        });
    });
    return app.exec();
}
