#pragma once
// The X11 front end of `XQuivoone`: a small control window that shows the
// program's title and "press 'q' to quit."; it owns the main thread until
// the key 'q' is pressed in it, the window is closed, or SIGINT/SIGTERM
// comes, and then stops the application. Owns the display connection, the
// window and the graphics context; the viewport is not owned.

#include <X11/Xlib.h>

#include <memory>
#include <string>

#include "transport/KrPoller.h"

class KrAppViewportBase;
class KrQuitSignal;

class KrQuivoXAppAddOn {
  public:
    // Opens the display named by DISPLAY and maps the window; KrException
    // when no display can be opened (no X11 call is made then).
    KrQuivoXAppAddOn(KrAppViewportBase* viewport, int argc, char** argv);
    virtual ~KrQuivoXAppAddOn();
    KrQuivoXAppAddOn(const KrQuivoXAppAddOn&) = delete;
    KrQuivoXAppAddOn& operator=(const KrQuivoXAppAddOn&) = delete;

    // Waits for and handles one X event (or a signal); returns the quit flag.
    virtual bool ProcessEvent();
    virtual void Idle();
    // viewport->Run(true), handle events until quit, viewport->Stop().
    virtual void Run();
    virtual void Done();

  private:
    void _handle(XEvent& event);

    Display* display = nullptr;
    Window window = 0;
    GC gc = nullptr;
    // What the window shows: the application's name and what it is.
    std::string title;
    bool quit = false;
    // Not owned. It keeps the command line, so this class does not.
    KrAppViewportBase* viewport;
    Atom _deleteWindow = 0;
    // Set when the window was destroyed from outside; it must not be destroyed again.
    bool _windowGone = false;
    KrPoller _poller;
    std::unique_ptr<KrQuitSignal> _signal;
};
