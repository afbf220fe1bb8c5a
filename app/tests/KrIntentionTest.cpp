#include "app/KrIntention.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/tests/AppTestFolder.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/tests/WaitFor.h"

namespace {

// A folder made the only PATH entry, holding fake browsers that write their
// arguments to "<name>.args" and then wait until "release" is written to.
class FakeBrowsers {
  public:
    FakeBrowsers() : _oldPath(std::getenv("PATH") ? std::getenv("PATH") : "") {
        dir = folder.path();
        ::mkfifo((dir + "/release").c_str(), 0600);
        ::setenv("PATH", dir.c_str(), 1);
    }
    ~FakeBrowsers() { ::setenv("PATH", _oldPath.c_str(), 1); }
    void install(const std::string& name, bool hold = false) {
        const std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                   dir + "/" + name + ".args\"\n" +
                                   (hold ? "read line < \"" + dir + "/release\"\n" : "");
        std::ofstream(dir + "/" + name) << script;
        std::filesystem::permissions(dir + "/" + name, std::filesystem::perms::owner_all);
    }
    std::string args(const std::string& name) {
        std::ifstream in(dir + "/" + name + ".args");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    AppTestFolder folder;
    std::string dir;

  private:
    std::string _oldPath;
};

// Runs `launch` with standard output on a pipe, then reads the pipe until
// every process that inherited it (launcher and browser) has closed it.
template <class Launch>
std::string captureLaunch(Launch launch, const std::function<void()>& afterReturn = [] {}) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    launch();
    ::dup2(saved, 1);
    ::close(saved);
    afterReturn();
    std::string text;
    char chunk[512];
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0) {
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    return text;
}

std::string testingLines(const std::vector<std::string>& programs, const std::string& url) {
    std::string text;
    for (const std::string& program : programs)
        text += "testing: " + program + "  " + url + "\n";
    return text;
}

TEST(KrIntention, TriesEveryBrowserInOrderWhenNoneIsInstalled) {
    FakeBrowsers browsers;
    const std::string out = captureLaunch(
        [] { KrIntention::_startBrowser(KrIntention::BrowserList(), "http://127.0.0.1:1/"); });
    EXPECT_EQ(out, testingLines({"opera", "chromium", "chromium-browser", "google-chrome",
                                 "firefox", "konqueror", "epiphany"},
                                "http://127.0.0.1:1/"));
}

TEST(KrIntention, StartsTheFirstInstalledBrowserWithTheURLAlone) {
    FakeBrowsers browsers;
    browsers.install("firefox");
    browsers.install("epiphany");
    const std::string out = captureLaunch(
        [] { KrIntention::_startBrowser(KrIntention::BrowserList(), "http://h:8/x?a=1"); });
    EXPECT_EQ(out, testingLines({"opera", "chromium", "chromium-browser", "google-chrome",
                                 "firefox"},
                                "http://h:8/x?a=1"));
    EXPECT_EQ(browsers.args("firefox"), "http://h:8/x?a=1\n");
    EXPECT_EQ(browsers.args("epiphany"), "");
}

TEST(KrIntention, GivesGoogleChromeIncognito) {
    FakeBrowsers browsers;
    browsers.install("google-chrome");
    captureLaunch([] { KrIntention::_startBrowser(KrIntention::BrowserList(), "http://a:1/"); });
    EXPECT_EQ(browsers.args("google-chrome"), "--incognito\nhttp://a:1/\n");
}

// The launch returns while the browser still runs: nothing waits for it.
TEST(KrIntention, DoesNotWaitForTheBrowserToExit) {
    FakeBrowsers browsers;
    browsers.install("opera", true);
    const std::string release = browsers.dir + "/release";
    const std::string out = captureLaunch(
        [] { KrIntention::_startBrowser({"opera"}, "http://b:2/"); },
        [&] {
            // Only now is the browser let go; had the launch waited for it,
            // it would never have returned.
            std::ofstream(release) << "go\n";
        });
    EXPECT_EQ(out, "testing: opera  http://b:2/\n");
    EXPECT_EQ(browsers.args("opera"), "http://b:2/\n");
}

TEST(KrIntention, RunApplicationQueuesALaunchOnlyForHTML) {
    FakeBrowsers browsers;
    browsers.install("chromium");
    KrGavetaScheduler2 scheduler;
    KrIntention intention(&scheduler);
    EXPECT_FALSE(intention.RunApplication("http://c:3/", "text/plain"));
    const std::string out = captureLaunch([&] {
        EXPECT_TRUE(intention.RunApplication("http://c:3/", "text/html"));
        // The job forks on its own thread; standard output must stay on the
        // pipe until it has (the browser has then written its arguments).
        WaitFor([&] { return std::filesystem::exists(browsers.dir + "/chromium.args"); });
    });
    EXPECT_EQ(out, testingLines({"opera", "chromium"}, "http://c:3/"));
    EXPECT_EQ(browsers.args("chromium"), "http://c:3/\n");
}

}  // namespace
