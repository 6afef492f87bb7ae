#include "desktop/X11XlibWindowDriver.h"

#include <QByteArray>
#include <QStringList>

#include <algorithm>
#include <vector>

// Xlib comes after Qt: its macros (None, Bool, Status, CursorShape...) break Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

struct XFreeDeleter {
    void operator()(void* p) const {
        if (p != nullptr)
            XFree(p);
    }
};

// Catches the X errors of everything done in its scope (BadWindow when a window vanishes, mostly)
// instead of letting Xlib's default handler end the program.
class ErrorTrap final {
public:
    explicit ErrorTrap(Display* display) : display_(display), outerCaught_(caught_) {
        XSync(display_, False);
        caught_ = false;
        previous_ = XSetErrorHandler(&ErrorTrap::handler);
    }
    ~ErrorTrap() {
        XSync(display_, False);
        XSetErrorHandler(previous_);
        caught_ = caught_ || outerCaught_; // a trap inside another reports to it as well
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    bool Caught() {
        XSync(display_, False);
        return caught_;
    }

private:
    static int handler(Display*, XErrorEvent*) {
        caught_ = true;
        return 0;
    }
    static inline bool caught_ = false;
    Display* display_;
    bool outerCaught_;
    int (*previous_)(Display*, XErrorEvent*) = nullptr;
};

struct Property {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    std::unique_ptr<unsigned char, XFreeDeleter> data;
};

std::optional<Property> readProperty(Display* display, Window window, Atom name, Atom type) {
    Property p;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, 1 << 16, False, type, &p.type, &p.format, &p.count, &remaining,
                           &data) != Success)
        return std::nullopt;
    p.data.reset(data);
    if (p.type == 0 || p.data == nullptr)
        return std::nullopt;
    return p;
}

// Format-32 properties come back as arrays of long, whatever the server's word size.
std::vector<long> longs(const Property& p) {
    if (p.format != 32)
        return {};
    const auto* values = reinterpret_cast<const long*>(p.data.get());
    return {values, values + p.count};
}

} // namespace

struct X11XlibWindowDriver::Atoms {
    Atom netWmName, utf8String, netClientList, wmState, netWmState, maxVert, maxHorz, netActiveWindow, netFrameExtents,
        netSupportingWmCheck;
};

std::unique_ptr<X11XlibWindowDriver> X11XlibWindowDriver::Open() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return nullptr;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        return nullptr;
    }
    return std::unique_ptr<X11XlibWindowDriver>(new X11XlibWindowDriver(display));
}

X11XlibWindowDriver::X11XlibWindowDriver(Display* display) : display_(display), atoms_(std::make_unique<Atoms>()) {
    auto intern = [display](const char* name) { return XInternAtom(display, name, False); };
    *atoms_ = Atoms{intern("_NET_WM_NAME"),
                    intern("UTF8_STRING"),
                    intern("_NET_CLIENT_LIST"),
                    intern("WM_STATE"),
                    intern("_NET_WM_STATE"),
                    intern("_NET_WM_STATE_MAXIMIZED_VERT"),
                    intern("_NET_WM_STATE_MAXIMIZED_HORZ"),
                    intern("_NET_ACTIVE_WINDOW"),
                    intern("_NET_FRAME_EXTENTS"),
                    intern("_NET_SUPPORTING_WM_CHECK")};
}

X11XlibWindowDriver::~X11XlibWindowDriver() {
    XCloseDisplay(display_);
}

std::optional<QString> X11XlibWindowDriver::WindowTitle(WindowId window) {
    ErrorTrap trap(display_);
    if (auto p = readProperty(display_, window, atoms_->netWmName, atoms_->utf8String); p && p->format == 8)
        return QString::fromUtf8(reinterpret_cast<const char*>(p->data.get()), qsizetype(p->count));

    XTextProperty text{};
    if (XGetTextProperty(display_, window, &text, XA_WM_NAME) == 0 || text.value == nullptr)
        return std::nullopt;
    std::unique_ptr<unsigned char, XFreeDeleter> owned(text.value);
    const auto* bytes = reinterpret_cast<const char*>(text.value);
    if (text.encoding == atoms_->utf8String)
        return QString::fromUtf8(bytes, qsizetype(text.nitems));
    if (text.encoding == XA_STRING)
        return QString::fromLatin1(bytes, qsizetype(text.nitems));
    // COMPOUND_TEXT and the like: let Xlib convert.
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(display_, &text, &list, &count) < Success || list == nullptr)
        return std::nullopt;
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QString::fromUtf8(list[i]);
    XFreeStringList(list);
    return parts.join(QString());
}

bool X11XlibWindowDriver::hasEwmhWindowManager() {
    const Window root = DefaultRootWindow(display_);
    auto check = readProperty(display_, root, atoms_->netSupportingWmCheck, XA_WINDOW);
    if (!check)
        return false;
    const auto ids = longs(*check);
    if (ids.empty())
        return false;
    // A stale property from a window manager that has exited points at a window that is gone.
    ErrorTrap trap(display_);
    XWindowAttributes attributes;
    return XGetWindowAttributes(display_, Window(ids.front()), &attributes) != 0 && !trap.Caught();
}

long X11XlibWindowDriver::wmState(WindowId window) {
    auto state = readProperty(display_, window, atoms_->wmState, atoms_->wmState);
    if (!state)
        return WithdrawnState;
    const auto values = longs(*state);
    return values.empty() ? WithdrawnState : values.front();
}

std::optional<X11WindowDriver::WindowId> X11XlibWindowDriver::FindWindowByTitle(const QString& title) {
    ErrorTrap trap(display_);
    const Window root = DefaultRootWindow(display_);

    // Managed clients first; then the root's children and, under a reparenting window manager that
    // keeps no client list, the client windows inside their frames.
    std::vector<Window> candidates;
    if (auto list = readProperty(display_, root, atoms_->netClientList, XA_WINDOW))
        for (long id : longs(*list))
            candidates.push_back(Window(id));
    auto children = [this](Window parent) {
        Window rootReturn = 0, parentReturn = 0;
        Window* kids = nullptr;
        unsigned int count = 0;
        std::vector<Window> result;
        if (XQueryTree(display_, parent, &rootReturn, &parentReturn, &kids, &count) != 0 && kids != nullptr) {
            result.assign(kids, kids + count);
            XFree(kids);
        }
        return result;
    };
    for (Window top : children(root)) {
        candidates.push_back(top);
        if (wmState(top) == WithdrawnState)
            for (Window inner : children(top))
                if (wmState(inner) != WithdrawnState)
                    candidates.push_back(inner);
    }

    const auto listed = [&] {
        std::vector<long> ids;
        if (auto list = readProperty(display_, root, atoms_->netClientList, XA_WINDOW))
            ids = longs(*list);
        return ids;
    }();
    for (Window window : candidates) {
        const auto name = WindowTitle(window);
        if (!name || *name != title)
            continue;
        // A hidden window that was withdrawn (a closed dialog kept by its toolkit) is not a window
        // the user could see; a minimised one is.
        if (std::find(listed.begin(), listed.end(), long(window)) != listed.end())
            return window;
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, window, &attributes) == 0)
            continue;
        if (attributes.map_state == IsViewable || wmState(window) == IconicState)
            return window;
    }
    return std::nullopt;
}

namespace {
void sendRootMessage(Display* display, Window window, Atom type, long a, long b, long c, long d) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    event.xclient.data.l[0] = a;
    event.xclient.data.l[1] = b;
    event.xclient.data.l[2] = c;
    event.xclient.data.l[3] = d;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}
} // namespace

void X11XlibWindowDriver::ShowMaximizedOnTop(WindowId window) {
    ErrorTrap trap(display_);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display_, window, &attributes) == 0)
        return;
    // Mapping a minimised window asks the window manager to restore it.
    if (attributes.map_state != IsViewable)
        XMapRaised(display_, window);
    if (hasEwmhWindowManager()) {
        constexpr long add = 1, fromPager = 2;
        sendRootMessage(display_, window, atoms_->netWmState, add, long(atoms_->maxVert), long(atoms_->maxHorz),
                        fromPager);
        sendRootMessage(display_, window, atoms_->netActiveWindow, fromPager, CurrentTime, 0, 0);
    } else {
        const int screen = DefaultScreen(display_);
        XMoveResizeWindow(display_, window, 0, 0, unsigned(DisplayWidth(display_, screen)),
                          unsigned(DisplayHeight(display_, screen)));
        XSetInputFocus(display_, window, RevertToParent, CurrentTime);
    }
    XRaiseWindow(display_, window);
    XSync(display_, False);
}

bool X11XlibWindowDriver::IsShownMaximized(WindowId window) {
    ErrorTrap trap(display_);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display_, window, &attributes) == 0 || trap.Caught())
        return true; // gone: nothing to wait for, the next step finds out
    if (attributes.map_state != IsViewable)
        return false;
    if (!hasEwmhWindowManager())
        return true;
    auto state = readProperty(display_, window, atoms_->netWmState, XA_ATOM);
    if (!state)
        return false;
    const auto atoms = longs(*state);
    auto has = [&](Atom atom) { return std::find(atoms.begin(), atoms.end(), long(atom)) != atoms.end(); };
    return has(atoms_->maxVert) && has(atoms_->maxHorz);
}

std::optional<QRect> X11XlibWindowDriver::WindowRect(WindowId window) {
    ErrorTrap trap(display_);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display_, window, &attributes) == 0)
        return std::nullopt;
    int x = 0, y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child))
        return std::nullopt;
    // The outer rectangle, title bar and borders included, like the rectangle a user sees.
    long left = 0, right = 0, top = 0, bottom = 0;
    if (auto extents = readProperty(display_, window, atoms_->netFrameExtents, XA_CARDINAL)) {
        const auto values = longs(*extents);
        if (values.size() == 4) {
            left = values[0];
            right = values[1];
            top = values[2];
            bottom = values[3];
        }
    }
    if (trap.Caught())
        return std::nullopt;
    return QRect(int(x - left), int(y - top), int(attributes.width + left + right),
                 int(attributes.height + top + bottom));
}

void X11XlibWindowDriver::MoveCursor(QPoint screenPoint) {
    ErrorTrap trap(display_);
    XTestFakeMotionEvent(display_, DefaultScreen(display_), screenPoint.x(), screenPoint.y(), CurrentTime);
    XSync(display_, False);
}

void X11XlibWindowDriver::LeftClick() {
    ErrorTrap trap(display_);
    XTestFakeButtonEvent(display_, Button1, True, CurrentTime);
    XSync(display_, False);
    XTestFakeButtonEvent(display_, Button1, False, CurrentTime);
    XSync(display_, False);
}

void X11XlibWindowDriver::PasteKeystroke() {
    ErrorTrap trap(display_);
    const KeyCode ctrl = XKeysymToKeycode(display_, XK_Control_L);
    const KeyCode v = XKeysymToKeycode(display_, XK_v);
    if (ctrl == 0 || v == 0)
        return;
    XTestFakeKeyEvent(display_, ctrl, True, CurrentTime);
    XTestFakeKeyEvent(display_, v, True, CurrentTime);
    XTestFakeKeyEvent(display_, v, False, CurrentTime);
    XTestFakeKeyEvent(display_, ctrl, False, CurrentTime);
    XSync(display_, False);
}
