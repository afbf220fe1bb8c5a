#include "app/KrIntention.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "foundation/KrException.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrRetryInterrupted.h"

namespace {

// Everything the child needs for one program, made before the fork: after
// fork only async-signal-safe calls may run (another thread may hold the
// allocator's lock), so the child neither allocates nor touches streams.
struct Attempt {
    std::string line;                     // "testing: <program>  <url>\n"
    std::vector<std::string> candidates;  // <dir>/<program> for each PATH entry
    std::vector<std::string> arguments;
    std::vector<char*> argv;
};

std::vector<std::string> searchPath() {
    const char* path = std::getenv("PATH");
    std::string text = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::vector<std::string> dirs;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(':', start);
        if (end == std::string::npos)
            end = text.size();
        // An empty entry means the working directory.
        dirs.push_back(end == start ? std::string(".") : text.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

std::vector<Attempt> prepare(const std::list<std::string>& programs, const std::string& url) {
    const std::vector<std::string> dirs = searchPath();
    std::vector<Attempt> attempts(programs.size());
    size_t i = 0;
    for (const std::string& program : programs) {
        Attempt& attempt = attempts[i++];
        attempt.line = "testing: " + program + "  " + url + "\n";
        if (program.find('/') != std::string::npos) {
            attempt.candidates.push_back(program);
        } else {
            for (const std::string& dir : dirs)
                attempt.candidates.push_back(dir + "/" + program);
        }
        attempt.arguments.push_back(program);
        if (program == "google-chrome")
            attempt.arguments.push_back("--incognito");
        attempt.arguments.push_back(url);
        for (std::string& argument : attempt.arguments)
            attempt.argv.push_back(argument.data());
        attempt.argv.push_back(nullptr);
    }
    return attempts;
}

void writeAll(const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written =
            KrRetryInterrupted([&] { return ::write(STDOUT_FILENO, data, left); });
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

// Runs in the grandchild: async-signal-safe calls only.
[[noreturn]] void tryBrowsers(std::vector<Attempt>& attempts) {
    // Its own session: a Ctrl-C meant for the application does not reach the browser.
    ::setsid();
    for (Attempt& attempt : attempts) {
        writeAll(attempt.line);
        for (std::string& candidate : attempt.candidates)
            ::execv(candidate.c_str(), attempt.argv.data());
    }
    ::_exit(0);
}

}  // namespace

KrIntention::KrIntention(KrGavetaScheduler2* scheduler) : scheduler(scheduler) {}

std::list<std::string> KrIntention::BrowserList() {
    return {"opera", "chromium", "chromium-browser", "google-chrome",
            "firefox", "konqueror", "epiphany"};
}

bool KrIntention::RunApplication(std::string url, std::string mimeType) {
    if (mimeType != "text/html")
        return false;
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = "intention";
    attributes._jo_status = KR_GAVETA_RUN_ONCE;
    attributes._jo_stop = [] {};
    scheduler->addJob(
        [url](KrGavetaJobParametersAndResult* parameters) {
            _startBrowser(BrowserList(), url);
            return parameters;
        },
        nullptr, attributes);
    return true;
}

void KrIntention::_startBrowser(const std::list<std::string>& programs, const std::string& url) {
    std::vector<Attempt> attempts = prepare(programs, url);
    const pid_t child = ::fork();
    if (child < 0)
        throw KrException("fork failed, cant call external process", __LINE__, "app");
    if (child == 0) {
        // The middle child only forks the launcher and ends, so the browser
        // becomes init's child and init reaps it; this job waits only for
        // the middle child, which is gone at once.
        const pid_t launcher = ::fork();
        if (launcher == 0)
            tryBrowsers(attempts);
        ::_exit(launcher < 0 ? 1 : 0);
    }
    int status = 0;
    KrRetryInterrupted([&] { return ::waitpid(child, &status, 0); });
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        throw KrException("fork failed, cant call external process", __LINE__, "app");
}
