#pragma once
// The console front end of `quivoone`: starts the application through the
// viewport, then owns the main thread until the word "quit" arrives on
// standard input or SIGINT/SIGTERM comes, and stops the application.
// The viewport is not owned.

#include <memory>
#include <string>

#include "transport/KrPoller.h"

class KrAppViewportBase;
class KrQuitSignal;

class KrQuivoCLAppAddOn {
  public:
    KrQuivoCLAppAddOn(KrAppViewportBase* viewport, int argc, char** argv);
    virtual ~KrQuivoCLAppAddOn();
    KrQuivoCLAppAddOn(const KrQuivoCLAppAddOn&) = delete;
    KrQuivoCLAppAddOn& operator=(const KrQuivoCLAppAddOn&) = delete;

    // Waits for the next input or signal; true once quit was asked for.
    // At the end of standard input it keeps waiting for a signal without
    // spinning, so a program started without input keeps serving.
    virtual bool WaitForQuit();
    virtual void Idle();
    // viewport->Run(false), wait until quit, viewport->Stop().
    virtual void Run();
    virtual void Done();

  private:
    // Reads what standard input has; false at its end or on an error.
    bool _readInput();
    // Checks the words completed so far; `atEnd` also counts the last one.
    void _takeWords(bool atEnd);

    bool quit = false;
    // Not owned. It keeps the command line, so this class does not.
    KrAppViewportBase* viewport;
    KrPoller _poller;
    std::unique_ptr<KrQuitSignal> _signal;
    bool _inputOpen = true;
    // Standard input is a regular file or device epoll can't watch: reads
    // never block on it, so it is read without waiting.
    bool _inputUnwatched = false;
    // The unfinished last word read.
    std::string _pending;
    // Inside a word too long to be "quit", whose rest is skipped.
    bool _skippingWord = false;
};
