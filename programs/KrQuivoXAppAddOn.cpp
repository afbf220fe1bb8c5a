#include "programs/KrQuivoXAppAddOn.h"

#include <X11/Xutil.h>

#include <cstdlib>
#include <vector>

#include "app/KrAppViewportBase.h"
#include "app/KrQuitSignal.h"
#include "foundation/KrException.h"

namespace {

const char* const kNotice = "quivo application server";
const char* const kQuitHint = "press 'q' to quit.";

}  // namespace

KrQuivoXAppAddOn::KrQuivoXAppAddOn(KrAppViewportBase* viewport, int argc, char** argv)
    : title(viewport->GetAppName(true) + " - " + kNotice), viewport(viewport) {
    viewport->SetCommandLine(argc, argv);
    display = XOpenDisplay("");
    if (display == nullptr) {
        const char* named = std::getenv("DISPLAY");
        throw KrException(std::string("cannot open the X display '") + (named ? named : "") +
                              "': set DISPLAY to a running X server, or use quivoone",
                          __LINE__, "programs");
    }
    const int screen = DefaultScreen(display);
    window = XCreateSimpleWindow(display, RootWindow(display, screen), 200, 200, 300, 300, 5,
                                 BlackPixel(display, screen), WhitePixel(display, screen));
    XSizeHints hints{};
    hints.flags = PPosition | PSize;
    hints.x = 200;
    hints.y = 200;
    hints.width = 300;
    hints.height = 300;
    XSetStandardProperties(display, window, title.c_str(), title.c_str(), None, argv, argc,
                           &hints);
    gc = XCreateGC(display, window, 0, nullptr);
    XSetBackground(display, gc, WhitePixel(display, screen));
    XSetForeground(display, gc, BlackPixel(display, screen));
    // Closing the window through the window manager counts as 'q'.
    _deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &_deleteWindow, 1);
    // StructureNotify as well: a window destroyed from outside ends the program too.
    XSelectInput(display, window, KeyPressMask | ButtonPressMask | ExposureMask | StructureNotifyMask);
    XMapRaised(display, window);
    XFlush(display);
    _poller.add(ConnectionNumber(display), 1, true, false);
    _signal = std::make_unique<KrQuitSignal>(_poller);
}

KrQuivoXAppAddOn::~KrQuivoXAppAddOn() {
    _signal.reset();
    XFreeGC(display, gc);
    if (!_windowGone)
        XDestroyWindow(display, window);
    XCloseDisplay(display);
}

void KrQuivoXAppAddOn::Idle() {}

void KrQuivoXAppAddOn::Done() {}

void KrQuivoXAppAddOn::Run() {
    viewport->Run(true);
    while (!quit)
        quit = ProcessEvent();
    viewport->Stop();
}

bool KrQuivoXAppAddOn::ProcessEvent() {
    // Xlib reads events only when asked, so the wait is on its connection's
    // descriptor together with the signal wake-up, not inside XNextEvent.
    for (;;) {
        if (_signal->requested()) {
            quit = true;
            return quit;
        }
        if (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            _handle(event);
            return quit;
        }
        std::vector<KrPoller::Event> events;
        if (!_poller.wait(events, -1)) {
            quit = true;
            return quit;
        }
    }
}

void KrQuivoXAppAddOn::_handle(XEvent& event) {
    switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0)
                XDrawImageString(display, window, gc, 20, 50, title.c_str(),
                                 static_cast<int>(title.size()));
            XDrawImageString(display, window, gc, 20, 80, kQuitHint,
                             static_cast<int>(std::char_traits<char>::length(kQuitHint)));
            break;
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            break;
        case KeyPress: {
            char text[10];
            const int length = XLookupString(&event.xkey, text, sizeof text, nullptr, nullptr);
            if (length == 1 && text[0] == 'q')
                quit = true;
            break;
        }
        case ClientMessage:
            if (static_cast<Atom>(event.xclient.data.l[0]) == _deleteWindow)
                quit = true;
            break;
        case DestroyNotify:
            if (event.xdestroywindow.window == window) {
                _windowGone = true;
                quit = true;
            }
            break;
        default:
            break;
    }
}
