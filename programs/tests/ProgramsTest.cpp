// The real programs, started as child processes on a free loopback port.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "foundation/tests/WaitFor.h"
#include "programs/tests/ProgramHarness.h"

namespace {

using harness::Folder;
using harness::Process;

const std::string kQuivoone = QUIVOONE_PROGRAM;
const std::string kXQuivoone = XQUIVOONE_PROGRAM;

const std::string kBanner =
    "appname: quivoone  0\n"
    "going to run...\n\n\n"
    "NOTICE:\n"
    "Enter   quit   to terminate the program.\n"
    "going to run app\n";

// Starts quivoone on a free port and waits until it listens.
struct Running {
    Running() : port(harness::freePort()) {
        folder.configure(std::to_string(port));
        process = std::make_unique<Process>(std::vector<std::string>{kQuivoone}, folder.path);
    }
    bool started() {
        if (!process->waitOutput("going to run app\n"))
            return false;
        // The listener opens on its own thread after Run returned.
        return harness::waitListening(port);
    }
    Folder folder;
    int port;
    std::unique_ptr<Process> process;
};

TEST(Quivoone, PrintsTheStartUpTextAndStopsOnQuit) {
    Running program;
    ASSERT_TRUE(program.started()) << program.process->output << program.process->error;
    EXPECT_EQ(program.process->output, kBanner);
    program.process->send("hello Quit quit! QUIT\n");
    program.process->send("qu");
    program.process->send("it\n");
    EXPECT_EQ(program.process->wait(), 0);
    EXPECT_TRUE(harness::portFree(program.port));
    EXPECT_EQ(program.process->error, "");
}

TEST(Quivoone, OtherWordsDoNotStopIt) {
    Running program;
    ASSERT_TRUE(program.started());
    program.process->send("hello Quit quit! QUIT xquit quitx\n");
    EXPECT_EQ(program.process->wait(1), -1);
    EXPECT_TRUE(harness::listening(program.port));
    program.process->send("quit\n");
    EXPECT_EQ(program.process->wait(), 0);
}

TEST(Quivoone, SignalsStopItLikeQuit) {
    for (int signal : {SIGTERM, SIGINT}) {
        Running program;
        ASSERT_TRUE(program.started());
        ::kill(program.process->pid, signal);
        EXPECT_EQ(program.process->wait(), 0) << "signal " << signal << "\n" << program.process->error;
        EXPECT_TRUE(harness::portFree(program.port)) << "signal " << signal;
    }
}

TEST(Quivoone, EndOfInputKeepsServingWithoutSpinning) {
    Running program;
    ASSERT_TRUE(program.started());
    program.process->closeInput();
    const long before = program.process->cpuTicks();
    EXPECT_EQ(program.process->wait(1), -1);
    // A loop on the closed input would burn the whole second (100 ticks).
    EXPECT_LT(program.process->cpuTicks() - before, 30);
    EXPECT_TRUE(harness::listening(program.port));
    ::kill(program.process->pid, SIGTERM);
    EXPECT_EQ(program.process->wait(), 0);
}

TEST(Quivoone, AFifoInTheFolderIsRefusedAtOnceAndQuitStillWorks) {
    Running program;
    program.folder.write("page.html", "<p>page</p>");
    ASSERT_EQ(::mkfifo((program.folder.path + "/fifo").c_str(), 0644), 0);
    ASSERT_TRUE(program.started()) << program.process->output << program.process->error;
    // More requests at once than the server has workers.
    const auto get = [&](const std::string& path) {
        return std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/curl", "-s", "-o", "/dev/null", "-w",
                                     "%{http_code}", "--max-time", "10",
                                     "http://127.0.0.1:" + std::to_string(program.port) + path},
            "/tmp");
    };
    std::vector<std::unique_ptr<Process>> fifoRequests;
    for (int i = 0; i < 8; ++i)
        fifoRequests.push_back(get("/fifo"));
    for (auto& request : fifoRequests) {
        request->closeInput();
        EXPECT_EQ(request->wait(15), 0);
        EXPECT_EQ(request->output, "404");
    }
    const auto page = get("/page.html");
    page->closeInput();
    EXPECT_EQ(page->wait(15), 0);
    EXPECT_EQ(page->output, "200");
    program.process->send("quit\n");
    EXPECT_EQ(program.process->wait(), 0);
}

TEST(Quivoone, StopsAtOnceWhileAScriptHangs) {
    // A script that would run for a minute is ended when the program stops,
    // by quit or by a signal, instead of being waited for.
    for (const int signal : {0, SIGTERM}) {
        Running program;
        program.folder.write("cgi-bin/hang.sh",
                             "#!/bin/sh\necho $$ > hang.pid\nprintf '\\r\\n'\nexec sleep 60\n", true);
        ASSERT_TRUE(program.started());
        const int fd = ConnectLoopback(static_cast<unsigned>(program.port));
        const std::string request = "GET /cgi-bin/hang.sh HTTP/1.1\r\nHost: x\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        pid_t script = 0;
        ASSERT_TRUE(WaitFor([&] {
            std::ifstream(program.folder.path + "/hang.pid") >> script;
            return script != 0;
        }));
        if (signal == 0)
            program.process->send("quit\n");
        else
            ::kill(program.process->pid, signal);
        // Well within the minute the script would run, however slow the build.
        EXPECT_EQ(program.process->wait(30), 0) << "signal " << signal;
        EXPECT_NE(::kill(script, 0), 0) << "signal " << signal;
        ::close(fd);
    }
}

TEST(Quivoone, LogsEveryAnswerOnItsOutputWhileItRuns) {
    // Access-log lines are buffered and written a batch at a time: none may
    // wait for the program's end.
    Running program;
    program.folder.write("a.txt", "a");
    ASSERT_TRUE(program.started());
    const int fd = ConnectLoopback(static_cast<unsigned>(program.port));
    std::string requests;
    for (const char* path : {"/a.txt", "/missing", "/a.txt?last"})
        requests += std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(program.process->waitOutput("\"GET /a.txt?last\" --> 200 ", 10))
        << program.process->output;
    EXPECT_NE(program.process->output.find("\"GET /missing\" --> 404 "), std::string::npos);
    EXPECT_EQ(program.process->wait(0), -1);
    program.process->send("quit\n");
    EXPECT_EQ(program.process->wait(), 0);
    ::close(fd);
}

TEST(Quivoone, RefusesBadPortsWithExitStatusOne) {
    for (const std::string port : {"abc", "", " x80", "0", "65536", "99999999999999999999"}) {
        Folder folder;
        folder.configure(port);
        Process process({kQuivoone}, folder.path);
        EXPECT_EQ(process.wait(), 1) << port;
        EXPECT_EQ(process.error, "quivoone: invalid port '" + port +
                                     "' in ./quivoone.xml: expected a number from 1 to 65535\n")
            << port;
        EXPECT_EQ(process.output.find("going to run app"), std::string::npos) << port;
    }
}

TEST(Quivoone, OnAPortThatCannotBeBoundSaysSoAndStillStopsOnQuit) {
    // Another process listens there. The start-up lines come all the same
    // (the last one before the listener opens), then the two that say why
    // nothing answers.
    const int holder = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int off = 0;
    ::setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin6_port));
    Folder folder;
    folder.configure(port);
    Process process({kQuivoone}, folder.path);
    const std::string said =
        "Could not bind\ncannot listen on port " + port + " (in use?); trying again\n";
    EXPECT_TRUE(process.waitError(said)) << process.error;
    EXPECT_TRUE(process.waitOutput(kBanner)) << process.output;
    process.send("quit\n");
    EXPECT_EQ(process.wait(), 0);
    EXPECT_EQ(process.output, kBanner);
    // Once per try; a second try comes 30 s after the first.
    std::string rest = process.error;
    for (size_t at; (at = rest.find(said)) != std::string::npos;)
        rest.erase(at, said.size());
    EXPECT_EQ(rest, "") << process.error;
    ::close(holder);
}

TEST(XQuivoone, WithoutADisplayExitsWithAMessage) {
    Folder folder;
    folder.configure(std::to_string(harness::freePort()));
    Process process({kXQuivoone}, folder.path, {"DISPLAY"});
    EXPECT_EQ(process.wait(), 1);
    EXPECT_EQ(process.error,
              "XQuivoone: cannot open the X display '': set DISPLAY to a running X server, or "
              "use quivoone\n");
}

// A private X server on a free display number.
class Xvfb {
  public:
    Xvfb() {
        // A number of this test process's own; the caller retries connecting
        // until the server is up.
        static int started = 0;
        display = ":" + std::to_string(300 + (::getpid() % 300) * 8 + (started++ % 8));
        server = std::make_unique<Process>(
            // Clients reach it through the abstract socket alone: a socket
            // file would need /tmp/.X11-unix, which no server removes.
            std::vector<std::string>{"/usr/bin/Xvfb", display, "-screen", "0", "800x600x24",
                                     "-nolisten", "tcp", "-nolisten", "unix"},
            "/tmp");
    }
    ~Xvfb() {
        // Let it remove its lock before the next test picks a number.
        ::kill(server->pid, SIGTERM);
        server->wait();
    }
    std::unique_ptr<Process> server;
    std::string display;
};

// The program's window, found by its title, or 0.
Window findWindow(Display* display, const std::string& title) {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) && name != nullptr) {
            if (title == name)
                found = children[i];
            XFree(name);
        }
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

// Distinct pixel values in the window's area of the screen: a blank window
// has one, a drawn one (white ground, black text) more.
size_t distinctPixels(Display* display, Window window) {
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    std::set<unsigned long> pixels;
    for (int y = 0; image != nullptr && y < attributes.height; ++y)
        for (int x = 0; x < attributes.width; ++x)
            pixels.insert(XGetPixel(image, x, y));
    if (image != nullptr)
        XDestroyImage(image);
    return pixels.size();
}

struct XRunning {
    XRunning() : port(harness::freePort()) {
        // The program starts only once the server accepts connections.
        WaitFor([&] {
            display = XOpenDisplay(x.display.c_str());
            return display != nullptr;
        });
        folder.configure(std::to_string(port));
        program = std::make_unique<Process>(std::vector<std::string>{kXQuivoone}, folder.path,
                                            std::vector<std::string>{"DISPLAY=" + x.display});
    }
    ~XRunning() {
        if (display != nullptr)
            XCloseDisplay(display);
    }
    // Waits for the start-up text, the listener and the drawn window.
    bool started() {
        if (display == nullptr || !program->waitOutput("going to run app\n"))
            return false;
        // Whether it was drawn is for the test to check.
        WaitFor([&] {
            if (window == 0)
                window = findWindow(display, "XQuivoone - quivo application server");
            return window != 0 && distinctPixels(display, window) >= 2;
        });
        return window != 0 && harness::waitListening(port);
    }
    int xdotool(const std::string& arguments) {
        Process tool({"/bin/sh", "-c", "xdotool " + arguments}, "/tmp",
                     {"DISPLAY=" + x.display});
        return tool.wait();
    }
    Xvfb x;
    Folder folder;
    int port;
    std::unique_ptr<Process> program;
    Display* display = nullptr;
    Window window = 0;
};

TEST(XQuivoone, ShowsItsWindowAndStopsOnTheKeyQ) {
    XRunning run;
    ASSERT_TRUE(run.started()) << run.program->output << run.program->error;
    EXPECT_EQ(run.program->output,
              "appname: XQuivoone  1\ngoing to run...\n\n\nNOTICE:\n"
              "Enter   quit   to terminate the program.\ngoing to run app\n");
    EXPECT_GE(distinctPixels(run.display, run.window), 2u);
    const std::string id = std::to_string(run.window);
    // Neither "quit" on the console nor a capital Q stops it.
    run.program->send("quit\n");
    ASSERT_EQ(run.xdotool("windowfocus --sync " + id + " key shift+q"), 0);
    EXPECT_EQ(run.program->wait(1), -1);
    ASSERT_EQ(run.xdotool("key q"), 0);
    EXPECT_EQ(run.program->wait(), 0);
    EXPECT_TRUE(harness::portFree(run.port));
}

TEST(XQuivoone, ClosingTheWindowStopsIt) {
    XRunning run;
    ASSERT_TRUE(run.started()) << run.program->output << run.program->error;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = run.window;
    event.xclient.message_type = XInternAtom(run.display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(run.display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(run.display, run.window, False, NoEventMask, &event);
    XFlush(run.display);
    EXPECT_EQ(run.program->wait(), 0);
    EXPECT_TRUE(harness::portFree(run.port));
}

TEST(XQuivoone, SigtermStopsIt) {
    XRunning run;
    ASSERT_TRUE(run.started()) << run.program->output << run.program->error;
    ::kill(run.program->pid, SIGTERM);
    EXPECT_EQ(run.program->wait(), 0);
}

}  // namespace
