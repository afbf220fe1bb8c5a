#pragma once
// Opens a URL in an external web browser: a job of the application's
// scheduler forks a child that tries a fixed list of browsers, found on PATH,
// until one starts. The browser runs detached (a grandchild handed to init),
// so nothing in the application ever waits for it to exit.
// The scheduler is not owned.

#include <list>
#include <string>

class KrGavetaScheduler2;

class KrIntention {
  public:
    explicit KrIntention(KrGavetaScheduler2* scheduler);

    // Queues a launch job named "intention" and returns true; false, starting
    // nothing, when mimeType is not "text/html".
    bool RunApplication(std::string url, std::string mimeType);

    // The browsers in the order they are tried.
    static std::list<std::string> BrowserList();
    // Tries each program with the URL ("google-chrome" also gets
    // "--incognito"), printing "testing: <program>  <url>" before each try.
    // Returns once the launching child has handed the browser over, not when
    // the browser exits. KrException when the child can't be forked.
    static void _startBrowser(const std::list<std::string>& programs, const std::string& url);

  private:
    KrGavetaScheduler2* scheduler;
};
