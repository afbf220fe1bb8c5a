#include "transport/KrTransceiverClient.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <signal.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "foundation/tests/WaitFor.h"
#include "transport/KrTransceiverClientWEBClient.h"
#include "transport/KrTransceiverServerL1DirectSocket.h"
#include "transport/KrXResponseHeader.h"
#include "transport/tests/DescriptorDrought.h"
#include "transport/tests/FifoGate.h"
#include "transport/tests/HttpTestServer.h"
#include "transport/tests/ProcessProbe.h"
#include "transport/tests/TemporaryFolder.h"

using namespace httptest;

namespace {

std::string StatusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

std::string BodyOf(const std::string& answer) {
    return DecodedBody(answer);
}

// One request on a fresh connection; the whole answer.
std::string Ask(unsigned port, const std::string& request) {
    const int fd = ConnectLoopback(port);
    SendAll(fd, request);
    const std::string in = Answers(fd, 1);
    ::close(fd);
    return in;
}

std::string Get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}

// Page contexts by id: "known" answers with the command it was given.
class RecordingApplication : public KrWebApplication {
  public:
    void DispatchToKontext(const std::string& id, KrXHeader&, KrXResponseHeader& response,
                           std::string command) override {
        dispatched.push_back(id);
        if (id == "known")
            response.setContent("command=" + command);
    }
    KrHTMLKontextN* CreateKontext(const std::string& name) override {
        created.push_back(name);
        return reinterpret_cast<KrHTMLKontextN*>(this);  // only passed back
    }
    void HandleKontextRequest(KrHTMLKontextN&, KrXHeader&, KrXResponseHeader& response,
                              std::string command) override {
        response.setContent("new context " + command);
    }
    bool HasResource(const std::string& name, KrXHeader&) override { return name == "res.txt"; }
    bool ServeResource(const std::string&, KrXHeader& response) override {
        response.setContent("stored resource");
        return true;
    }
    std::vector<std::string> dispatched;
    std::vector<std::string> created;
};

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

// A base directory with pages, scripts and a secret beside it.
class BaseDirectory {
  public:
    BaseDirectory() {
        char pattern[] = "/tmp/quivo-www-XXXXXX";
        top = ::mkdtemp(pattern);
        root = top + "/www";
        ::mkdir(root.c_str(), 0755);
        ::mkdir((root + "/sub").c_str(), 0755);
        ::mkdir((root + "/cgi-bin").c_str(), 0755);
        WriteFile(top + "/secret", "top secret");
        WriteFile(root + "/index.html", "<p>index</p>");
        WriteFile(root + "/style.css", "p{}");
        WriteFile(root + "/sub/data.bin", std::string("\0\1\2\3", 4));
        WriteFile(root + "/sub/x.PHP", "<?php echo 1; ?>");
        WriteFile(root + "/.hidden", "hidden");
        WriteFile(root + "/%2e%2e", "literal name");
        WriteFile(root + "/page.php",
                  "<?php echo 'x=' . ($_GET['x'] ?? '') . ';m=' . $_SERVER['REQUEST_METHOD'] . "
                  "';n=' . ($_POST['name'] ?? '') . ';q=' . $_SERVER['QUERY_STRING']; ?>");
        WriteFile(root + "/go.php", "<?php header('Location: /index.html'); ?>");
        WriteFile(root + "/cgi-bin/env.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                  "echo \"ua=$HTTP_USER_AGENT proxy=${HTTP_PROXY-unset} qs=$QUERY_STRING "
                  "rs=$REDIRECT_STATUS gi=$GATEWAY_INTERFACE sn=$SCRIPT_NAME\"\n"
                  "echo \"sa=$SERVER_ADDR sc=$REQUEST_SCHEME sp=$SERVER_PROTOCOL\"\n"
                  "echo \"body=$(cat)\"\n",
                  0755);
        WriteFile(root + "/cgi-bin/echo.sh", "#!/bin/sh\nprintf '\\r\\n'\nexec cat\n", 0755);
        WriteFile(root + "/cgi-bin/hang.sh", "#!/bin/sh\nexec sleep 60\n", 0755);
        // Works longer than the shortest time limit a test sets, then answers.
        WriteFile(root + "/cgi-bin/slow.sh",
                  "#!/bin/sh\nsleep 2\nprintf 'Content-Type: text/plain\\r\\n\\r\\nslow'\n", 0755);
        WriteFile(root + "/cgi-bin/quick.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nquick'\n", 0755);
        WriteFile(root + "/cgi-bin/flood.sh", "#!/bin/sh\nexec head -c 3000000 /dev/zero\n", 0755);
        WriteFile(root + "/cgi-bin/plain.sh", "#!/bin/sh\necho never\n", 0644);
        // Hangs after writing its process id to the file "pids".
        WriteFile(root + "/cgi-bin/pid.sh",
                  "#!/bin/sh\necho $$ >> '" + top + "/pids'\nprintf '\\r\\n'\nexec sleep 60\n",
                  0755);
        ::symlink((top + "/secret").c_str(), (root + "/link").c_str());
        ::symlink("style.css", (root + "/alias.css").c_str());
        ::symlink((root + "/style.css").c_str(), (root + "/absolute.css").c_str());
        ::symlink("../../secret", (root + "/sub/up").c_str());
        ::symlink("cgi-bin/echo.sh", (root + "/script.txt").c_str());
        ::symlink("cgi-bin", (root + "/programs").c_str());
        ::symlink("page.php", (root + "/page.txt").c_str());
        ::mkfifo((root + "/fifo").c_str(), 0644);
        // Folders and their index files, the programs' configuration.
        for (const char* folder : {"/docs", "/app", "/empty", "/we ird", "/fonts"})
            ::mkdir((root + folder).c_str(), 0755);
        WriteFile(root + "/docs/index.html", "<p>docs</p>");
        WriteFile(root + "/app/index.html", "<p>not the script</p>");
        WriteFile(root + "/app/index.php",
                  "<?php echo implode('|', [$_SERVER['SCRIPT_NAME'], $_SERVER['REQUEST_URI'], "
                  "basename($_SERVER['SCRIPT_FILENAME']), $_SERVER['REQUEST_METHOD'], "
                  "$_SERVER['PHP_SELF'], file_get_contents('php://input')]); ?>");
        WriteFile(root + "/cgi-bin/index.html",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                  "echo \"sn=$SCRIPT_NAME\"\n",
                  0755);
        WriteFile(root + "/quivoone.xml", "<quivoone/>");
        WriteFile(root + "/sub/quivoone.xml", "<sub/>");
        WriteFile(root + "/fonts/icons.eot", "eot");
        WriteFile(root + "/notes.md", "# notes");
        ::symlink("quivoone.xml", (root + "/config.txt").c_str());
        for (const char* name : {"font.woff2", "clip.mp4", "table.csv"})
            WriteFile(root + "/" + name, name);
        for (const size_t size : {size_t{0}, size_t{65536}, size_t{65537}, size_t{600000}})
            WriteFile(root + "/sized" + std::to_string(size), Pattern(size));
    }
    // Bytes that show a piece sent twice, dropped or out of place.
    static std::string Pattern(size_t size) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
        return bytes;
    }
    ~BaseDirectory() { Shell("rm -rf '" + top + "'"); }
    std::string top;
    std::string root;
};

// Writes a case's script under a name of its own; its path below the base.
// A program of an earlier case that still runs reads its script as it goes:
// one rewritten in place would hand it the next case's lines.
std::string CaseScript(const BaseDirectory& base, const std::string& script) {
    static int written = 0;
    const std::string path = "/cgi-bin/case" + std::to_string(++written) + ".sh";
    WriteFile(base.root + path, "#!/bin/sh\n" + script, 0755);
    return path;
}

// The resident memory of this process, in bytes.
size_t ResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

// The process ids pid.sh wrote so far, once there are at least `count`
// (waited for up to the test's patience; 0: as they are now).
std::vector<pid_t> WaitForPids(const std::string& file, size_t count) {
    std::vector<pid_t> pids;
    WaitFor([&] {
        pids.clear();
        std::ifstream in(file);
        pid_t pid;
        while (in >> pid)
            pids.push_back(pid);
        return pids.size() >= count;
    });
    return pids;
}

// Whether every child process of this one (the programs a server started)
// has ended and been reaped (waited for up to the test's patience).
bool NoChildrenLeft() {
    const std::string self = std::to_string(::getpid());
    return WaitFor([&] {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line))
                continue;
            // "pid (name) state ppid ...": the name may hold blanks.
            std::istringstream fields(line.substr(line.rfind(')') + 1));
            std::string state;
            std::string parent;
            fields >> state >> parent;
            if (parent == self)
                return false;
        }
        return true;
    });
}

// Whether an access-log line holding `text` comes within 30 s.
bool WaitForLine(Events& events, const std::string& text) {
    return WaitFor([&] {
        for (const std::string& line : events.logLines()) {
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    });
}

class FileServing : public ::testing::Test {
  protected:
    FileServing() : server({{"_baseDirectoryHTTP", base.root}}), port(server.waitListening()) {}
    BaseDirectory base;
    Server server;
    unsigned port;
};

}  // namespace

TEST_F(FileServing, SendsFilesWithTheirLengthAndType) {
    struct Case {
        std::string path;
        std::string body;
        std::string type;
    };
    const Case cases[] = {
        {"/style.css", "p{}", "text/css; charset=utf-8"},
        {"/sub/data.bin", std::string("\0\1\2\3", 4), "application/octet-stream"},
        {"/", "<p>index</p>", "text/html; charset=utf-8"},
        {"/sub/x.PHP", "<?php echo 1; ?>", "application/octet-stream"},
        {"/%252e%252e", "literal name", "application/octet-stream"},
        {"/font.woff2", "font.woff2", "font/woff2"},
        {"/clip.mp4", "clip.mp4", "video/mp4"},
        {"/table.csv", "table.csv", "text/csv; charset=utf-8"},
    };
    for (const Case& c : cases) {
        const std::string answer = Ask(port, Get(c.path));
        EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK") << c.path;
        EXPECT_EQ(BodyOf(answer), c.body) << c.path;
        EXPECT_NE(answer.find("Content-Length: " + std::to_string(c.body.size()) + "\r\n"),
                  std::string::npos)
            << c.path;
        EXPECT_NE(answer.find("Content-Type: " + c.type + "\r\n"), std::string::npos) << c.path;
    }
}

TEST_F(FileServing, RefusesEveryWayOutOfTheBaseDirectory) {
    // A program or script below the base directory is run or refused; its
    // text never leaves the server, whatever form the path takes.
    struct Case {
        std::string request;
        std::string status = "HTTP/1.1 404 Not Found";
    };
    const Case cases[] = {
        {Get("/../secret")},
        {Get("/sub/../../secret")},
        {Get("/%2e%2e/secret")},
        {Get("/%2E%2E%2Fsecret")},
        {Get("/sub/..%2f..%2fsecret")},
        {Get("/link")},
        {Get("/sub/up")},
        {Get("/.hidden")},
        {Get("/sub/./data.bin")},
        {Get("/..%5csecret")},
        {Get("/index.html%00.txt")},
        {Get("/sub/")},
        {Get("/cgi-bin/../../secret")},
        {"POST /cgi-bin/../../../bin/sh HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\necho hi\n\n"},
        {"POST /cgi-bin/%2e%2e/%2e%2e/%2e%2e/bin/sh HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"},
        {Get("//cgi-bin/echo.sh"), "HTTP/1.1 200 OK"},
        {Get("/%2fcgi-bin/echo.sh"), "HTTP/1.1 200 OK"},
        {Get("/sub//..//..//secret")},
        {Get("//page.php"), "HTTP/1.1 200 OK"},
        {Get("/%2Fcgi-bin/plain.sh"), "HTTP/1.1 500 Internal Error"},
        {Get("/script.txt")},
        {Get("/programs/echo.sh")},
        {Get("/page.txt")},
        // A FIFO is no file to send; opening it must not wait for a writer.
        {Get("/fifo")},
    };
    for (const Case& c : cases) {
        const std::string answer = Ask(port, c.request);
        EXPECT_EQ(StatusLine(answer), c.status) << c.request;
        EXPECT_EQ(answer.find("top secret"), std::string::npos) << c.request;
        EXPECT_EQ(answer.find("#!/bin/sh"), std::string::npos) << c.request;
        EXPECT_EQ(answer.find("<?php"), std::string::npos) << c.request;
    }
}

TEST_F(FileServing, AnswersFoldersByTheirIndexAndNeverSendsTheConfiguration) {
    struct Row {
        std::string request;
        std::string status;
        std::string body = "";
        std::string field = "";  // a head line the answer must carry, when not empty
    };
    const std::string post = "POST /app/ HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nb=17";
    const std::string html = "Content-Type: text/html; charset=utf-8\r\n";
    const Row rows[] = {
        {Get("/"), "200 OK", "<p>index</p>", html},
        {Get("/docs/"), "200 OK", "<p>docs</p>", html},
        // The script wins over the page; it runs as itself, for the folder.
        {Get("/app/"), "200 OK", "/app/index.php|/app/|index.php|GET|/app/index.php|"},
        {Get("/app/?x=1"), "200 OK", "/app/index.php|/app/?x=1|index.php|GET|/app/index.php|"},
        {Get("//app//"), "200 OK", "/app/index.php|//app//|index.php|GET|/app/index.php|"},
        {post, "200 OK", "/app/index.php|/app/|index.php|POST|/app/index.php|b=17"},
        {Get("/docs"), "301 Moved Permanently", "", "Location: /docs/\r\n"},
        {Get("/docs?a=1&b=%20"), "301 Moved Permanently", "", "Location: /docs/?a=1&b=%20\r\n"},
        {"POST /app?a=1 HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", "301 Moved Permanently", "",
         "Location: /app/?a=1\r\n"},
        {Get("//docs"), "301 Moved Permanently", "", "Location: /docs/\r\n"},
        {Get("/%2F%2Fdocs"), "301 Moved Permanently", "", "Location: /docs/\r\n"},
        {Get("/we%20ird"), "301 Moved Permanently", "", "Location: /we%20ird/\r\n"},
        {Get("/empty"), "301 Moved Permanently", "", "Location: /empty/\r\n"},
        {Get("/empty/"), "404 Not Found"},
        {Get("/missing/"), "404 Not Found"},
        {Get("/style.css/"), "404 Not Found"},
        // The CGI folder's index is one of its programs: run, never sent.
        {Get("/cgi-bin/"), "200 OK", "sn=/cgi-bin/index.html\n"},
        {Get("/cgi-bin"), "301 Moved Permanently", "", "Location: /cgi-bin/\r\n"},
        {Get("/programs/"), "404 Not Found"},
        {Get("/quivoone.xml"), "404 Not Found"},
        {Get("//quivoone.xml"), "404 Not Found"},
        {Get("/./quivoone.xml"), "404 Not Found"},
        {Get("/sub/../quivoone.xml"), "404 Not Found"},
        {Get("/%71uivoone.xml"), "404 Not Found"},
        {Get("/%2fquivoone.xml?x=1"), "404 Not Found"},
        {"GET http://localhost/quivoone.xml HTTP/1.1\r\nHost: localhost\r\n\r\n", "404 Not Found"},
        {Get("/quivoone.xml/"), "404 Not Found"},
        {Get("/config.txt"), "404 Not Found"},
        {Get("/sub/quivoone.xml"), "200 OK", "<sub/>", "Content-Type: application/xml\r\n"},
        {Get("/fonts/icons.eot"), "200 OK", "eot", "Content-Type: application/vnd.ms-fontobject\r\n"},
        {Get("/notes.md"), "200 OK", "# notes", "Content-Type: text/markdown; charset=utf-8\r\n"},
    };
    for (const Row& row : rows) {
        const std::string answer = Ask(port, row.request);
        const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
        EXPECT_EQ(StatusLine(answer), "HTTP/1.1 " + row.status) << row.request;
        if (row.status != "404 Not Found") {
            EXPECT_EQ(BodyOf(answer), row.body) << row.request;
        }
        EXPECT_NE(head.find(row.field), std::string::npos) << row.request << head;
        for (const char* secret : {"<quivoone", "#!/bin/sh", "<?php", "not the script"})
            EXPECT_EQ(answer.find(secret), std::string::npos) << row.request << " " << secret;
    }
}

TEST_F(FileServing, FollowsLinksThatStayInsideTheBaseDirectory) {
    for (const char* path : {"/alias.css", "/absolute.css"}) {
        const std::string answer = Ask(port, Get(path));
        EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK") << path;
        EXPECT_EQ(BodyOf(answer), "p{}") << path;
    }
}

TEST_F(FileServing, SendsFilesOfEverySizeWholeOnOneConnection) {
    // Small files leave with their head, large ones in pieces after it.
    const size_t sizes[] = {0, 65536, 65537, 600000, 65536};
    const int fd = ConnectLoopback(port);
    std::string requests;
    for (const size_t size : sizes)
        requests += Get("/sized" + std::to_string(size));
    SendAll(fd, requests);
    std::string in = Answers(fd, std::size(sizes));
    ::close(fd);
    for (const size_t size : sizes) {
        const std::string expected = BaseDirectory::Pattern(size);
        const std::string head = "Content-Length: " + std::to_string(size) + "\r\n";
        const size_t headEnd = in.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos) << size;
        EXPECT_NE(in.substr(0, headEnd + 2).find(head), std::string::npos) << size;
        EXPECT_EQ(in.substr(headEnd + 4, size), expected) << size;
        in.erase(0, headEnd + 4 + size);
    }
    EXPECT_EQ(in, "");
}

TEST_F(FileServing, RunsPHPThroughPhpCgi) {
    const std::string get = Ask(port, Get("/page.php?x=1"));
    EXPECT_EQ(StatusLine(get), "HTTP/1.1 200 OK") << get;
    EXPECT_EQ(BodyOf(get), "x=1;m=GET;n=;q=x=1");
    const std::string form = "name=quivo";
    const std::string post = Ask(port,
                                 "POST /page.php?k=v HTTP/1.1\r\nHost: x\r\nContent-Type: "
                                 "application/x-www-form-urlencoded\r\nContent-Length: " +
                                     std::to_string(form.size()) + "\r\n\r\n" + form);
    EXPECT_EQ(BodyOf(post), "x=;m=POST;n=quivo;q=k=v") << post;
    // A redirect arrives as 302 and curl follows it.
    const std::string followed = Shell(
        "curl -s -L -w ' %{http_code} %{num_redirects}' "
        "http://127.0.0.1:" +
        std::to_string(port) + "/go.php");
    EXPECT_EQ(followed, "<p>index</p> 200 1");
}

TEST_F(FileServing, RunsCGIProgramsWithTheirEnvironmentAndBody) {
    const std::string answer = Ask(port,
                                   "POST /cgi-bin/env.sh?a=b HTTP/1.1\r\nHost: x\r\nUser-Agent: tester/1\r\n"
                                   "Proxy: http://evil/\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("Content-Type: text/plain\r\n"), std::string::npos);
    EXPECT_EQ(BodyOf(answer),
              "ua=tester/1 proxy=unset qs=a=b rs=CGI gi=CGI/1.1 sn=/cgi-bin/env.sh\n"
              "sa=127.0.0.1 sc=http sp=HTTP/1.1\nbody=hello\n");
    // The protocol is the request's. Output that comes in pieces goes to an
    // HTTP/1.0 peer without a length, ending with the connection: read to
    // the close, as such a peer does.
    const int fd = ConnectLoopback(port);
    SendAll(fd, "GET /cgi-bin/env.sh HTTP/1.0\r\n\r\n");
    bool closed = false;
    const std::string old = ReadToClose(fd, &closed);
    ::close(fd);
    EXPECT_TRUE(closed);
    EXPECT_EQ(StatusLine(old), "HTTP/1.1 200 OK") << old;
    EXPECT_NE(BodyOf(old).find("sp=HTTP/1.0\nbody=\n"), std::string::npos) << old;
    // Input and output larger than a pipe holds go through together.
    const std::string big(2 * 1024 * 1024, 'z');
    const std::string echoed = Ask(port, "POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                             std::to_string(big.size()) + "\r\n\r\n" + big);
    EXPECT_EQ(BodyOf(echoed).size(), big.size());
    EXPECT_EQ(BodyOf(echoed), big);
}

TEST_F(FileServing, AnswersProgramsThatFailOrFloodAndWaitsForSlowOnes) {
    // A program works past the time limit before its head: its client
    // waits for it, so it is not cut off, and the server answers other
    // connections meanwhile. It goes on only once the other answer came.
    server.client->setCGILimits(std::chrono::milliseconds(1000), 1024 * 1024);
    FifoGate gate(base.top + "/gate");
    WriteFile(base.root + "/cgi-bin/gated.sh",
              "#!/bin/sh\nread go < '" + gate.path +
                  "'\nsleep 2\nprintf 'Content-Type: text/plain\\r\\n\\r\\nslow'\n",
              0755);
    const int waiting = ConnectLoopback(port);
    SendAll(waiting, Get("/cgi-bin/gated.sh"));
    EXPECT_EQ(StatusLine(Ask(port, Get("/style.css"))), "HTTP/1.1 200 OK");
    pollfd quiet{waiting, POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 0), 0);
    gate.open();
    const std::string slow = Answers(waiting, 1);
    EXPECT_EQ(StatusLine(slow), "HTTP/1.1 200 OK") << slow;
    EXPECT_EQ(BodyOf(slow), "slow");
    // The same connection goes on after its answer.
    SendAll(waiting, Get("/style.css"));
    EXPECT_EQ(StatusLine(Answers(waiting, 1)), "HTTP/1.1 200 OK");
    ::close(waiting);
    server.client->setCGILimits(std::chrono::milliseconds(60000), 1024 * 1024);
    EXPECT_EQ(StatusLine(Ask(port, Get("/cgi-bin/flood.sh"))), "HTTP/1.1 502 Server Error");
    EXPECT_EQ(StatusLine(Ask(port, Get("/cgi-bin/plain.sh"))), "HTTP/1.1 500 Internal Error");
    EXPECT_EQ(StatusLine(Ask(port, Get("/style.css"))), "HTTP/1.1 200 OK");
}

TEST(KrTransceiverClient, RequestHeadersCannotSteerTheCGIEnvironment) {
    // Header lines of a request, and what one variable then holds ("-" for
    // no variable at all).
    struct Row {
        std::string fields;
        std::string variable;
        std::string value;
    };
    const Row rows[] = {
        {"User-Agent: a b/1\r\n", "HTTP_USER_AGENT", "a b/1"},
        {"Accept-Language: de\r\n", "HTTP_ACCEPT_LANGUAGE", "de"},
        {"Proxy: http://evil/\r\n", "HTTP_PROXY", "-"},
        {"X-Forwarded-For: 1.2.3.4\r\nX_Forwarded_For: 6.6.6.6\r\n", "HTTP_X_FORWARDED_FOR",
         "1.2.3.4"},
        {"X_Forwarded_For: 6.6.6.6\r\nX-Forwarded-For: 1.2.3.4\r\n", "HTTP_X_FORWARDED_FOR",
         "1.2.3.4"},
        {"X.Y: 1\r\n", "HTTP_X.Y", "-"},
        {"X-Tab: a\tb\r\n", "HTTP_X_TAB", "a\tb"},
        {"Content-Type: text/plain\r\n", "CONTENT_TYPE", "text/plain"},
        // A field sent twice is one value with both.
        {"X-Multi: a\r\nX-Multi: b c\r\n", "HTTP_X_MULTI", "a, b c"},
        {"Cookie: a=1\r\nCookie: b=2; c=3\r\n", "HTTP_COOKIE", "a=1; b=2; c=3"},
        {"Accept: text/html\r\nX-A: 1\r\nAccept: */*\r\n", "HTTP_ACCEPT", "text/html, */*"},
        // (A control byte in a field, or a name with a byte outside the token
        // characters, never gets this far: the reader refuses it.)
    };
    KrTransceiverClient client([](KrServerCallback_t&) { return true; }, {}, nullptr);
    for (const Row& row : rows) {
        KrXHeader request(KR_HTTP_POST, false, 3);
        const std::string bytes = "POST /cgi-bin/x HTTP/1.1\r\nHost: x\r\n" + row.fields + "\r\n";
        request.body().sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        ASSERT_EQ(request.read([](KrXHeader&) { return true; }), KR_READ_COMPLETE) << row.fields;
        request.peerInfo().values["remoteaddress"] = "127.0.0.1";
        std::map<std::string, std::string> environment;
        ASSERT_TRUE(client._cgiEnvironment("/srv/x", environment, request));
        const auto found = environment.find(row.variable);
        EXPECT_EQ(found == environment.end() ? "-" : found->second, row.value) << row.fields;
        for (const auto& [name, value] : environment)
            EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
    }
}

TEST(KrTransceiverClient, OffersRequestsToTheApplicationFirst) {
    RecordingApplication application;
    BaseDirectory base;
    Server server({{"_baseDirectoryHTTP", base.root}, {"_app_context_commandurl", "/start"}}, 3,
                  [&](auto callback, const auto& options) {
                      return std::make_shared<KrTransceiverClient>(callback, options, &application);
                  });
    const unsigned port = server.waitListening();
    struct Case {
        std::string request;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {Get("/x?quivoid=known&quivocommand=go"), "HTTP/1.1 200 OK", "command=go"},
        // An unknown context leaves the answer at 500: files, then 404.
        {Get("/style.css?quivoid=gone"), "HTTP/1.1 200 OK", "p{}"},
        {Get("/style.css?quivoid="), "HTTP/1.1 200 OK", "p{}"},
        {Get("/start"), "HTTP/1.1 200 OK", "new context &new"},
        {Get("/start/"), "HTTP/1.1 404 Not Found", ""},
        {Get("/res.txt"), "HTTP/1.1 200 OK", "stored resource"},
    };
    for (const Case& c : cases) {
        const std::string answer = Ask(port, c.request);
        EXPECT_EQ(StatusLine(answer), c.status) << c.request;
        if (!c.body.empty()) {
            EXPECT_EQ(BodyOf(answer), c.body) << c.request;
        }
    }
    // A stored resource is typed by its name, like a file.
    EXPECT_NE(Ask(port, Get("/res.txt")).find("Content-Type: text/plain; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_EQ(application.dispatched, (std::vector<std::string>{"known", "gone"}));
    EXPECT_EQ(application.created, std::vector<std::string>{"quivoid"});
}

TEST(KrTransceiverClient, RefusesBodiesThatDoNotParseWith400) {
    RecordingApplication application;
    BaseDirectory base;
    Server server({{"_baseDirectoryHTTP", base.root}}, 3, [&](auto callback, const auto& options) {
        return std::make_shared<KrTransceiverClient>(callback, options, &application);
    });
    const unsigned port = server.waitListening();
    const std::string part = "--XyZ\r\nContent-Disposition: form-data; name=\"quivoid\"\r\n";
    struct Case {
        std::string type;
        std::string body;
        std::string status;
        std::string answerBody;
    };
    const Case cases[] = {
        {"multipart/form-data; boundary=XyZ", part + "\r\nknown\r\n--XyZ--\r\n", "HTTP/1.1 200 OK",
         "command="},
        // Stray head lines are only reported: the file is served.
        {"multipart/form-data; boundary=XyZ", part + "stray\r\n\r\n\r\n--XyZ--\r\n",
         "HTTP/1.1 200 OK", "p{}"},
        {"multipart/form-data; boundary=XyZ", part + "\r\nknown\r\n--XyZ\r\n",
         "HTTP/1.1 400 Bad Request", ""},
        {"multipart/form-data; boundary=XyZ", "no delimiter", "HTTP/1.1 400 Bad Request", ""},
        {"multipart/form-data", part + "\r\nknown\r\n--XyZ--\r\n", "HTTP/1.1 400 Bad Request", ""},
    };
    for (const Case& c : cases) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, "POST /style.css HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + c.type +
                        "\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" +
                        c.body);
        bool closed = false;
        const std::string answer = Answers(fd, 1, &closed);
        EXPECT_EQ(StatusLine(answer), c.status) << c.body;
        EXPECT_EQ(BodyOf(answer), c.answerBody) << c.body;
        if (c.status.find(" 400 ") != std::string::npos) {
            // Refused: the server closes the connection after the answer.
            ReadToClose(fd, &closed);
            EXPECT_TRUE(closed) << c.body;
        }
        ::close(fd);
    }
    EXPECT_EQ(application.dispatched, std::vector<std::string>{"known"});
}

TEST(KrTransceiverClient, AnswersQUIVORequestsWithAnEmpty404) {
    Server server({}, 6);
    const std::string answer = Ask(server.waitListening(), Get("/x?quivoid=a"));
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 404 Not Found");
    EXPECT_NE(answer.find("Content-Length: 0\r\n"), std::string::npos);
    server.events.waitFor(7);
    EXPECT_NE(server.events.logLines().at(0).find(" - quivo - "), std::string::npos);
}

namespace {

// Echoes every raw-bytes message back on its connection.
class EchoClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~EchoClient() override { _leaveRegistry(); }
    bool dispatch(const std::string& serverName, KrXHeader& header) override {
        if (openedRole(serverName) != 1 || header.protocolKind() != 9)
            return true;
        std::shared_ptr<KrXResponseHeader> answer(header.makeResponse());
        answer->body().sputn(header.body().Begin(),
                             static_cast<std::streamsize>(header.body().Length()));
        _send(answer, header.taskName());
        return true;
    }
};

}  // namespace

TEST(KrTransceiverClient, DirectSocketListenerCarriesRawBytes) {
    Server server({}, 9, [](auto callback, const auto& options) {
        return std::make_shared<EchoClient>(callback, options, nullptr);
    });
    const int fd = ConnectLoopback(server.waitListening());
    SendAll(fd, "no framing at all\n");
    const std::string back = ReadUntil(fd, [](const std::string& in) { return in.size() >= 18; });
    EXPECT_EQ(back, "no framing at all\n");
    ::close(fd);
    const KrServerCallback_t sent = server.events.waitFor(6);
    EXPECT_EQ(sent.values.at("bytes"), "18");
    EXPECT_EQ(sent.values.at("status_code"), "500");  // the echo never set one
    // The answer's age, whole microseconds written with six decimals.
    EXPECT_TRUE(std::regex_match(sent.values.at("time_used"), std::regex("[0-9]+\\.000000")))
        << sent.values.at("time_used");
}

TEST(KrTransceiverClientWEBClient, FindsImageSourcesInAnAnswer) {
    KrTransceiverClientWEBClient::Record record;
    record.url = "http://example.org:80/dir/page.html";
    record.directory = "/dir/";
    KrXHeader answer(KR_HTTP_ANSWER, false, 3);
    const std::string body = "<p><img src=\"a.png\"/> and <img src=\"/b.gif\" /></p>";
    answer.body().sputn(body.data(), static_cast<std::streamsize>(body.size()));
    KrTransceiverClientWEBClient::takeAnswer(record, answer);
    EXPECT_EQ(record.lastAnswer, body);
    ASSERT_EQ(record.images.size(), 3u);
    EXPECT_EQ(record.images.at("AA noch nix fertig"), "nixda");
    EXPECT_EQ(record.images.at("3:19"), "http://example.org:80/dir/a.png");
    EXPECT_EQ(record.images.at("26:44"), "http://example.org:80/b.gif");
}

TEST(KrTransceiverClientWEBClient, TellsTheRequestAtOnceAndTheAnswerOnceItCame) {
    KrGavetaScheduler2 scheduler;
    KrTransceiver transceiver(&scheduler);
    auto web = std::make_shared<KrTransceiverClientWEBClient>(
        [](KrServerCallback_t&) { return true; }, std::map<std::string, std::string>{});
    ASSERT_TRUE(transceiver.addClient(web));
    // Nothing listens there: no answer comes but the one handed in below.
    auto request = std::make_shared<KrXHeader>(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    request->setURL("http://127.0.0.1:9/page", "");
    request->body().sputn("sent", 4);
    const std::string name = web->_sendRequest(request);
    ASSERT_EQ(name, request->id());
    const std::string head = web->requestHeadText(name);
    EXPECT_EQ(head.rfind("GET /page HTTP/1.1\r\n", 0), 0u) << head;

    using Texts = std::vector<std::string>;
    const auto texts = [&](const std::string& of) {
        return Texts{web->requestHeadText(of), web->requestBodyText(of), web->answerBodyText(of),
                     web->allAnswersText(of)};
    };
    EXPECT_EQ(texts(name), (Texts{head, "sent", "", ""}));
    KrXHeader answer(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    answer.body().sputn("got", 3);
    EXPECT_TRUE(web->onHTTPAnswer(name, answer));
    EXPECT_EQ(texts(name), (Texts{head, "sent", "got", "got"}));
    EXPECT_EQ(texts("unknown"), (Texts{"", "", "", ""}));
}

TEST_F(FileServing, PeersThatReadNoneOfALargeFileHoldNoCopyOfIt) {
    // A file goes from the file to the socket: peers that ask for a large
    // file with a small receive buffer and read none of it hold their
    // socket buffers in the kernel and a small, fixed amount here, however
    // large the file; once they have gone, that is given back.
    WriteFile(base.root + "/large.bin", "");
    ASSERT_EQ(::truncate((base.root + "/large.bin").c_str(), 10 << 20), 0);
    const size_t before = ResidentBytes();
    const size_t peers = 200;
    std::vector<int> fds;
    for (size_t i = 0; i < peers; ++i) {
        const int fd = ConnectLoopback(port);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        SendAll(fd, Get("/large.bin") + Get("/large.bin"));
        fds.push_back(fd);
    }
    // Each has its head and the start of its file by now.
    for (const int fd : fds)
        ASSERT_NE(ReadUntil(fd, [](const std::string& in) { return in.size() >= 4096; }), "");
    const size_t held = ResidentBytes() - std::min(before, ResidentBytes());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's own bookkeeping counts too, and its allocator keeps
    // freed blocks: what was given back cannot be seen.
    EXPECT_LT(held, peers * (128u << 10)) << held;
    const bool seesFreedMemory = false;
#else
    EXPECT_LT(held, peers * (32u << 10)) << held;
    const bool seesFreedMemory = true;
#endif
    for (const int fd : fds)
        ::close(fd);
    WaitFor([&] { return server.transceiver->connectionCount() == 0; });
    EXPECT_EQ(server.transceiver->connectionCount(), 0u);
    const size_t kept = ResidentBytes() - std::min(before, ResidentBytes());
    if (seesFreedMemory) {
        EXPECT_LT(kept, size_t{4} << 20) << kept;
    }
    // A peer that reads gets the file whole.
    const int fd = ConnectLoopback(port);
    SendAll(fd, Get("/large.bin"));
    const std::string whole = Answers(fd, 1);
    ::close(fd);
    EXPECT_EQ(StatusLine(whole), "HTTP/1.1 200 OK");
    EXPECT_EQ(BodyOf(whole).size(), size_t{10} << 20);
}

TEST_F(FileServing, StopsReadingARequestWhileItsAnswerIsMadeAndSeesTheResetMeanwhile) {
    // While a program answers, the connection's further bytes wait in the
    // kernel once one head's worth has come: peers cannot grow the server's
    // memory. Those that reset while their reading waits go at once, long
    // before their programs end.
    const size_t peers = 4;
    std::vector<int> fds;
    for (size_t i = 0; i < peers; ++i) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get("/cgi-bin/hang.sh"));
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        fds.push_back(fd);
    }
    const size_t before = ResidentBytes();
    const std::string block(1 << 20, 'x');
    for (const int fd : fds) {
        size_t sent = 0;
        const size_t most = size_t{200} << 20;
        while (sent < most) {
            const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, 500) <= 0)
                break;  // the server stopped taking bytes
        }
        // What the server holds, and the two sockets' kernel buffers.
        EXPECT_LT(sent, KrXHeader::kMaxHeadLength + (32u << 20)) << sent;
    }
    const size_t grown = ResidentBytes() - std::min(before, ResidentBytes());
    EXPECT_LT(grown, peers * (8u << 20)) << grown;
    EXPECT_EQ(server.transceiver->connectionCount(), peers);
    for (const int fd : fds) {
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    // The programs sleep a minute; their connections go now.
    WaitFor([&] { return server.transceiver->connectionCount() == 0; });
    EXPECT_EQ(server.transceiver->connectionCount(), 0u);
    EXPECT_EQ(server.transceiver->socketCount(), 0u);
}

TEST_F(FileServing, RequestsWaitForAProgramSlotInTurnAndThoseWhoseClientLeftFinishBesideThem) {
    // One slot, room for one program whose client left. Each program
    // writes its process id, answers, waits at a gate of its own, then
    // writes its id again and ends: work.sh with its output open,
    // detach.sh with it closed.
    server.client->setCGIConcurrency(1, 1);
    const std::string pids = base.top + "/pids";
    const std::string finished = base.top + "/finished";
    FifoGate workGate(base.top + "/work-gate");
    FifoGate detachGate(base.top + "/detach-gate");
    const std::string record = "echo $$ >> '" + pids + "'\n";
    const auto done = [&](const FifoGate& gate) {
        return "read go < '" + gate.path + "'\necho $$ >> '" + finished + "'\n";
    };
    WriteFile(base.root + "/cgi-bin/work.sh",
              "#!/bin/sh\n" + record + "printf '\\r\\nworking'\n" + done(workGate), 0755);
    WriteFile(base.root + "/cgi-bin/detach.sh",
              "#!/bin/sh\n" + record + "printf '\\r\\ndone'\nexec 1>&-\n" + done(detachGate),
              0755);
    WriteFile(base.root + "/cgi-bin/last.sh", "#!/bin/sh\n" + record + "printf '\\r\\nlast'\n",
              0755);
    const int first = ConnectLoopback(port);
    SendAll(first, Get("/cgi-bin/work.sh"));
    const std::vector<pid_t> running = WaitForPids(pids, 1);
    ASSERT_EQ(running.size(), 1u);
    // The next two wait for the slot, however many come: none is refused.
    // The third is sent once the second waits, so the order they came in
    // is known.
    const int second = ConnectLoopback(port);
    SendAll(second, Get("/cgi-bin/detach.sh"));
    ASSERT_TRUE(WaitFor([&] { return server.client->waitingPrograms() == 1; }));
    const int third = ConnectLoopback(port);
    SendAll(third, Get("/cgi-bin/last.sh"));
    EXPECT_TRUE(WaitFor([&] { return server.client->waitingPrograms() == 2; }));
    // A client that goes gives its program's slot to the next at once; the
    // program still finishes its work.
    ::close(first);
    const std::vector<pid_t> started = WaitForPids(pids, 2);
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(BodyOf(Answers(second, 1)), "done");
    EXPECT_TRUE(WaitForPids(finished, 0).empty());
    // A program whose answer is whole (its output closed) keeps its slot
    // until it exits: the third waits until its work is done.
    EXPECT_EQ(server.client->waitingPrograms(), 1u);
    detachGate.open();
    const std::string last = Answers(third, 1);
    EXPECT_EQ(BodyOf(last), "last") << last;
    EXPECT_EQ(WaitForPids(finished, 1), std::vector<pid_t>{started[1]});
    workGate.open();
    EXPECT_EQ(WaitForPids(finished, 2), (std::vector<pid_t>{started[1], running[0]}));
    // The first one's line comes as its program ends, with the status it
    // would have had.
    EXPECT_TRUE(WaitForLine(server.events, "\"GET /cgi-bin/work.sh\" --> 200 "));
    ::close(second);
    ::close(third);
}

TEST_F(FileServing, AProgramsOwnLengthFramesItsAnswerAndKeepsTheConnectionWhenMet) {
    // A file request rides behind each program's request in one write. An
    // answer that brings the length its program announced is whole, and
    // the connection goes on to the file; one that ends short of it closes
    // the connection, so its client can tell.
    const std::string large = "head -c 1000000 /dev/zero | tr '\\0' a\n";
    const std::string big(1000000, 'a');
    struct Case {
        const char* what;
        std::string script;
        std::string body;
        bool kept;
    };
    const Case cases[] = {
        {"exact", "printf 'Content-Length: 5\\r\\n\\r\\nhello'\n", "hello", true},
        {"exact, and works on after it", "printf 'Content-Length: 5\\r\\n\\r\\nhello'\nsleep 1\n",
         "hello", true},
        {"longer than announced", "printf 'Content-Length: 2\\r\\n\\r\\nhello'\n", "he", true},
        {"zero", "printf 'Content-Length: 0\\r\\n\\r\\n'\n", "", true},
        {"shorter", "printf 'Content-Length: 9\\r\\n\\r\\nhello'\n", "hello", false},
        {"exact, past the window", "printf 'Content-Length: 1000000\\r\\n\\r\\n'\n" + large, big,
         true},
        {"shorter, past the window", "printf 'Content-Length: 2000000\\r\\n\\r\\n'\n" + large,
         big, false},
    };
    for (const Case& c : cases) {
        const std::string script = CaseScript(base, c.script);
        for (const std::string version : {"HTTP/1.1", "HTTP/1.0"}) {
            const std::string keep = version == "HTTP/1.0" ? "Connection: keep-alive\r\n" : "";
            const std::string ask = " " + version + "\r\nHost: x\r\n" + keep + "\r\n";
            const int fd = ConnectLoopback(port);
            SendAll(fd, "GET " + script + ask + "GET /style.css" + ask);
            bool closed = false;
            const std::string in = c.kept ? Answers(fd, 2, &closed) : ReadToClose(fd, &closed);
            const std::string where = std::string(c.what) + ", " + version;
            std::vector<std::string> bodies;
            ForEachAnswer(in, [&](size_t headEnd, size_t end) {
                bodies.push_back(in.substr(headEnd + 4, end - headEnd - 4));
            });
            const std::string body = c.kept ? bodies.at(0) : BodyOf(in);
            EXPECT_TRUE(body == c.body) << where << ": " << body.size() << " bytes";
            EXPECT_EQ(bodies.size(), c.kept ? 2u : 0u) << where;
            EXPECT_EQ(closed, !c.kept) << where;
            if (c.kept) {
                EXPECT_EQ(bodies.at(1), "p{}") << where;
                EXPECT_EQ(in.find("\r\nConnection: close"), std::string::npos) << where;
            }
            ::close(fd);
        }
    }
}

// What the descriptors this process has open lead to, in order (a socket
// by its inode: a new one is another), without the listing's own.
std::vector<std::string> OpenDescriptors() {
    std::vector<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("/proc/", 0) != 0)
            open.push_back(target);
    }
    std::sort(open.begin(), open.end());
    return open;
}

// Whether every descriptor open now (once the last ones have closed, within
// the test's patience) was open at `before` too (some of those may have
// closed since).
bool NoNewDescriptorsStay(const std::vector<std::string>& before) {
    return WaitFor([&] {
        const std::vector<std::string> now = OpenDescriptors();
        return std::includes(before.begin(), before.end(), now.begin(), now.end());
    });
}

// Each program request's connection is removed, from another thread, after
// the client has found the connection and before the program's answer is
// started: the moment at which a peer's reset may come.
class LeavingClient : public KrTransceiverClient {
  public:
    using KrTransceiverClient::KrTransceiverClient;
    ~LeavingClient() override { _leaveRegistry(); }
    bool dispatch(const std::string& serverName, KrXHeader& request) override {
        const bool handled = KrTransceiverClient::dispatch(serverName, request);
        KrTransceiver* owner = attachedTransceiver();
        if (owner != nullptr && request.path() == "/cgi-bin/big.sh") {
            const std::string connection = request.routeToken(0);
            std::thread([owner, connection] { owner->_removeTCPSocket(connection); }).join();
        }
        return handled;
    }
};

TEST(FileServingLeaving, AProgramWhoseConnectionGoesAsItStartsFreesItsSlotAndSocket) {
    // Each peer asks for a quick program and a large one in one write. Its
    // connection goes just as the large one starts: the program is
    // abandoned (it runs to its end, its output dropped), so it never waits
    // on a full output window holding its slot, and the socket closes.
    BaseDirectory base;
    WriteFile(base.root + "/cgi-bin/big.sh",
              "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
              "exec head -c 1048576 /dev/zero\n",
              0755);
    Server server({{"_baseDirectoryHTTP", base.root}}, KR_PROTOCOL_HTTP,
                  [](auto callback, const auto& options) {
                      return std::make_shared<LeavingClient>(callback, options, nullptr);
                  });
    const unsigned port = server.waitListening();
    server.client->setCGIConcurrency(1, 1);
    // (The first program starts the runner, whose descriptors stay.)
    EXPECT_EQ(BodyOf(Ask(port, Get("/cgi-bin/quick.sh"))), "quick");
    EXPECT_TRUE(NoChildrenLeft());
    const std::vector<std::string> before = OpenDescriptors();
    for (int round = 0; round < 3; ++round) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get("/cgi-bin/quick.sh") + Get("/cgi-bin/big.sh"));
        EXPECT_EQ(BodyOf(Answers(fd, 1)), "quick");
        bool closed = false;
        ReadToClose(fd, &closed);
        EXPECT_TRUE(closed);
        ::close(fd);
    }
    EXPECT_TRUE(NoChildrenLeft());
    WaitFor([&] { return server.transceiver->socketCount() == 0; });
    EXPECT_EQ(server.transceiver->socketCount(), 0u);
    EXPECT_EQ(server.transceiver->connectionCount(), 0u);
    // The one program slot is free again.
    EXPECT_EQ(BodyOf(Ask(port, Get("/cgi-bin/quick.sh"))), "quick");
    EXPECT_TRUE(NoNewDescriptorsStay(before));
}

TEST_F(FileServing, PeersThatNeverReadAProgramsAnswerAreIdleAndFreeItsSlot) {
    // Two peers ask for a program that writes 50 MB and read none of it: its
    // output waits on a full window. A connection whose peer takes nothing
    // is idle, however much waits for it: at its limit it goes, its program
    // is abandoned and runs to its end, and its slot is free again.
    server.httpServer()->setConnectionTimeLimit(300000);
    server.client->setCGIConcurrency(2, 2);
    WriteFile(base.root + "/cgi-bin/flood50.sh",
              "#!/bin/sh\necho $$ >> '" + base.top + "/pids'\n"
              "printf 'Content-Type: text/plain\\r\\n\\r\\n'\nexec head -c 52428800 /dev/zero\n",
              0755);
    std::vector<int> silent;
    for (int i = 0; i < 2; ++i) {
        silent.push_back(ConnectLoopback(port));
        SendAll(silent.back(), Get("/cgi-bin/flood50.sh"));
    }
    EXPECT_EQ(WaitForPids(base.top + "/pids", 2).size(), 2u);
    EXPECT_TRUE(NoChildrenLeft());
    const std::string quick = Ask(port, Get("/cgi-bin/quick.sh"));
    EXPECT_EQ(StatusLine(quick), "HTTP/1.1 200 OK") << quick;
    for (const int fd : silent)
        ::close(fd);
}

TEST_F(FileServing, AConnectionThatWentSilentGoesForEveryThreadAtOnce) {
    // A large file, then a program, in one write; the peer, with a small
    // receive buffer, reads nothing. Once its silence passes the limit the
    // connection is out of every table at once, and its peer sees the end.
    server.httpServer()->setConnectionTimeLimit(300000);
    // Larger than the socket buffers of both ends.
    const std::string large = base.root + "/large.bin";
    WriteFile(large, "");
    ASSERT_EQ(::truncate(large.c_str(), off_t{32} << 20), 0);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SendAll(fd, Get("/large.bin") + Get("/cgi-bin/slow.sh"));
    std::string in = ReadUntil(
        fd, [](const std::string& got) { return got.find("\r\n\r\n") != std::string::npos; });
    WaitFor([&] { return server.transceiver->connectionCount() == 0; });
    EXPECT_EQ(server.transceiver->connectionCount(), 0u);
    EXPECT_EQ(server.transceiver->socketCount(), 0u);
    bool closed = false;
    in += ReadToClose(fd, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(CountAnswers(in), 0u);
    ::close(fd);
}

TEST_F(FileServing, APeerThatEndedItsInputGetsOnlyTheAnswersItAskedFor) {
    // Its answer is made by a program that takes a while: nothing else is
    // written to the peer meanwhile, such as an interim answer.
    const int fd = ConnectLoopback(port);
    SendAll(fd, Get("/cgi-bin/slow.sh") + Get("/style.css"));
    ::shutdown(fd, SHUT_WR);
    bool closed = false;
    const std::string in = ReadToClose(fd, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(in.find(" 100 "), std::string::npos) << in;
    EXPECT_EQ(CountAnswers(in), 2u) << in;
    ::close(fd);
}

TEST_F(FileServing, PeersThatLeaveWithoutReadingHoldUpNobody) {
    // Peers send their requests in one write and close without reading a
    // byte, so the server's writes to them fail; others reset once the
    // first of two answers came. Nothing of a gone connection may run any
    // more, and no thread that serves others (the receive loop, the program
    // runner) may wait for a program: files and programs are still answered
    // to everyone else, every program that did start runs to its end (it
    // works a moment) and is reaped, and no descriptor is left open.
    WriteFile(base.root + "/cgi-bin/nap.sh", "#!/bin/sh\nsleep 0.3\nprintf '\\r\\n'\n", 0755);
    WriteFile(base.root + "/cgi-bin/big.sh",
              "#!/bin/sh\nprintf '\\r\\n'\nexec head -c 1048576 /dev/zero\n", 0755);
    EXPECT_EQ(BodyOf(Ask(port, Get("/cgi-bin/quick.sh"))), "quick");
    EXPECT_TRUE(NoChildrenLeft());
    const std::vector<std::string> before = OpenDescriptors();
    const std::string program = Get("/cgi-bin/nap.sh");
    const std::string file = Get("/style.css");
    const std::string batches[] = {program + file + file + program, file + file + program};
    for (int round = 0; round < 25; ++round) {
        for (const std::string& batch : batches) {
            const int fd = ConnectLoopback(port);
            ASSERT_GE(fd, 0);
            SendAll(fd, batch);
            ::close(fd);
        }
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get("/cgi-bin/quick.sh") + Get("/cgi-bin/big.sh"));
        EXPECT_EQ(BodyOf(Answers(fd, 1)), "quick");
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    const std::string quick = Ask(port, Get("/cgi-bin/quick.sh"));
    EXPECT_EQ(StatusLine(quick), "HTTP/1.1 200 OK") << quick;
    EXPECT_EQ(BodyOf(quick), "quick");
    EXPECT_EQ(StatusLine(Ask(port, file)), "HTTP/1.1 200 OK");
    EXPECT_TRUE(NoChildrenLeft());
    EXPECT_TRUE(NoNewDescriptorsStay(before));
}

TEST_F(FileServing, EndsRunningProgramsWhenItStops) {
    auto own = std::make_unique<Server>(std::map<std::string, std::string>{
        {"_baseDirectoryHTTP", base.root}});
    const int fd = ConnectLoopback(own->waitListening());
    SendAll(fd, Get("/cgi-bin/pid.sh"));
    const std::vector<pid_t> running = WaitForPids(base.top + "/pids", 1);
    ASSERT_EQ(running.size(), 1u);
    // The program would run for a minute; stopping ends it instead of
    // waiting for it (well within that minute, however slow the build).
    const auto start = std::chrono::steady_clock::now();
    own.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(::kill(running[0], 0), 0);
    ::close(fd);
}

TEST_F(FileServing, TellsThePeerWhenAProgramsAnswerIsCutShort) {
    const std::string head = "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n";
    const std::string large = "head -c 1000000 /dev/zero | tr '\\0' a\n";
    struct Case {
        const char* what;
        std::string script;
        std::string status;
        std::string body;
        bool complete;
        const char* method = "GET";
    };
    const Case cases[] = {
        // Killed after its head: what came goes out, cut short (chunks
        // without their end), and the connection closes.
        {"killed after its head", head + "printf hello\nkill -9 $$\n", "HTTP/1.1 200 OK", "hello",
         false},
        {"killed while streaming", head + large + "kill -9 $$\n", "HTTP/1.1 200 OK",
         std::string(1000000, 'a'), false},
        // To HEAD, the head GET gets: the program's status.
        {"killed after its head, to HEAD",
         "printf 'Status: 201\\r\\n\\r\\n'\nprintf hello\nkill -9 $$\n", "HTTP/1.1 201 Created",
         "", true, "HEAD"},
        {"killed after its head, to GET",
         "printf 'Status: 201\\r\\n\\r\\n'\nprintf hello\nkill -9 $$\n", "HTTP/1.1 201 Created",
         "hello", false},
        // Ends short of the length it announced: the length stays, the
        // connection closes before it (curl says "transfer closed with
        // outstanding read data remaining").
        {"ends short of its length", "printf 'Content-Length: 100\\r\\n\\r\\n0123456789'\n",
         "HTTP/1.1 200 OK", "0123456789", false},
        {"ends short of its length, past the window",
         "printf 'Content-Length: 2000000\\r\\n\\r\\n'\n" + large, "HTTP/1.1 200 OK",
         std::string(1000000, 'a'), false},
        {"writes the length it announced",
         "printf 'Content-Length: 10\\r\\n\\r\\n0123456789'\n", "HTTP/1.1 200 OK",
         "0123456789", true},
        {"writes the length it announced, past the window",
         "printf 'Content-Length: 1000000\\r\\n\\r\\n'\n" + large, "HTTP/1.1 200 OK",
         std::string(1000000, 'a'), true},
        // No head: nothing to pass on.
        {"killed before its head", "kill -9 $$\n", "HTTP/1.1 502 Server Error", "", true},
        {"ends inside its head", "printf 'Content-Type: text/plain\\r\\n'\n",
         "HTTP/1.1 502 Server Error", "", true},
        // An interim status cannot be a program's answer.
        {"interim status", "printf 'Status: 103 Early Hints\\r\\n\\r\\nx'\n",
         "HTTP/1.1 502 Server Error", "", true},
        {"interim status, to HEAD", "printf 'Status: 100\\r\\n\\r\\n'\n",
         "HTTP/1.1 502 Server Error", "", true, "HEAD"},
        // Longer than the window: sent as it comes, in chunks, whole.
        {"streams whole", head + large, "HTTP/1.1 200 OK", std::string(1000000, 'a'), true},
    };
    for (const Case& c : cases) {
        const std::string script = CaseScript(base, c.script);
        const int fd = ConnectLoopback(port);
        SendAll(fd, std::string(c.method) + " " + script + " HTTP/1.1\r\nHost: x\r\n\r\n");
        bool closed = false;
        const std::string in = Answers(fd, 1, &closed);
        EXPECT_EQ(StatusLine(in), c.status) << c.what;
        EXPECT_TRUE(BodyOf(in) == c.body) << c.what << ": " << BodyOf(in).size() << " bytes";
        EXPECT_EQ(CountAnswers(in), c.complete ? 1u : 0u) << c.what;
        EXPECT_EQ(closed, !c.complete) << c.what;
        ::close(fd);
    }
}

// The status and byte count of an access-log line ("... --> 200 908 ...").
std::pair<std::string, std::string> LoggedStatusAndBytes(const std::string& line) {
    const size_t at = line.find("\" --> ");
    if (at == std::string::npos)
        return {};
    std::istringstream fields(line.substr(at + 6));
    std::string status;
    std::string bytes;
    fields >> status >> bytes;
    return {status, bytes};
}

TEST_F(FileServing, ProgramsAnswerAsTheyWriteAndAreLoggedAsSent) {
    // A short limit: a program outlives it as long as its client waits, and
    // no cap on the size of its output applies to an answer.
    server.client->setCGILimits(std::chrono::milliseconds(1000), 1024 * 1024);
    const std::string head = "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n";
    std::string lines;
    for (int i = 0; i < 10; ++i)
        lines += "line " + std::to_string(i) + "\n";
    // The line-at-a-time program goes on past its first line only once that
    // line has reached the client; those that work on after their answer
    // mark their end (20 s later) in a file of their own.
    FifoGate gate(base.top + "/lines");
    const std::string ended = base.top + "/ended-";
    std::string rest;
    for (int i = 1; i < 10; ++i)
        rest += " " + std::to_string(i);
    struct Case {
        const char* what;
        std::string script;
        std::string status;
        std::string body;
        bool complete;
        // The file it marks its end in, for one that works on after its answer.
        std::string ends = "";
    };
    const Case cases[] = {
        {"closes its output, then works on",
         head + "printf done\nexec >&-\nsleep 20\necho 1 > '" + ended + "closes'\n",
         "HTTP/1.1 200 OK", "done", true, ended + "closes"},
        {"announces its length, then works on",
         "printf 'Content-Length: 4\\r\\n\\r\\ndone'\nsleep 20\necho 1 > '" + ended + "length'\n",
         "HTTP/1.1 200 OK", "done", true, ended + "length"},
        {"writes more than it announced", "printf 'Content-Length: 2\\r\\n\\r\\nabcdef'\n",
         "HTTP/1.1 200 OK", "ab", true},
        {"writes a line at a time for longer than the limit",
         head + "echo 'line 0'\nread go < '" + gate.path + "'\nfor i in" + rest +
             "; do echo \"line $i\"; sleep 0.3; done\n",
         "HTTP/1.1 200 OK", lines, true},
        // Silence longer than the limit cuts nothing while the client waits.
        {"falls silent after its head", head + "printf partial\nsleep 2\nprintf ' rest'\n",
         "HTTP/1.1 200 OK", "partial rest", true},
        {"falls silent before its head", "sleep 2\n" + head + "printf late\n", "HTTP/1.1 200 OK",
         "late", true},
        {"writes 100 MiB", head + "exec head -c 104857600 /dev/zero\n", "HTTP/1.1 200 OK",
         std::string(size_t{100} << 20, '\0'), true},
        {"dies within its answer", head + "printf hello\nkill -9 $$\n", "HTTP/1.1 200 OK", "hello",
         false},
    };
    size_t logged = 0;
    for (const Case& c : cases) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get(CaseScript(base, c.script)));
        // What arrives first: for a program that goes on writing, the start
        // of its answer before its end.
        std::string in = ReadUntil(
            fd, [](const std::string& got) { return got.find("\r\n\r\n") != std::string::npos; });
        if (c.body == lines) {
            in += ReadUntil(fd, [&in](const std::string& got) {
                return (in + got).find("line 0\n") != std::string::npos;
            });
            EXPECT_EQ(CountAnswers(in), 0u) << c.what;
            EXPECT_NE(in.find("line 0\n"), std::string::npos) << c.what << ": held until the program ended";
            gate.open();
        }
        bool closed = false;
        in += ReadUntil(
            fd,
            [&in](const std::string& got) {
                // Cheap for the large answer: its end is its last chunk.
                const std::string_view tail(
                    got.data() + got.size() - std::min<size_t>(got.size(), 5),
                    std::min<size_t>(got.size(), 5));
                return (got.size() < 4096 || tail == "0\r\n\r\n") && CountAnswers(in + got) >= 1;
            },
            &closed);
        EXPECT_EQ(StatusLine(in), c.status) << c.what;
        if (!c.ends.empty()) {
            EXPECT_FALSE(std::filesystem::exists(c.ends)) << c.what << ": ended before its answer";
        }
        const std::string body = BodyOf(in);
        EXPECT_EQ(body.size(), c.body.size()) << c.what;
        EXPECT_TRUE(body == c.body) << c.what;
        EXPECT_EQ(CountAnswers(in), c.complete ? 1u : 0u) << c.what;
        if (!c.complete) {
            // Cut short: the connection ends.
            EXPECT_TRUE(closed || ReadToClose(fd, &closed).empty()) << c.what;
            EXPECT_TRUE(closed) << c.what;
        }
        ::close(fd);
        // The access log counts what was sent: every byte the client got.
        const KrServerCallback_t line = server.events.waitFor(KR_EVENT_ACCESS_LOG, ++logged);
        ASSERT_EQ(line.type, KR_EVENT_ACCESS_LOG) << c.what;
        EXPECT_EQ(LoggedStatusAndBytes(line.values.at("logging")),
                  std::make_pair(c.status.substr(9, 3), std::to_string(in.size())))
            << c.what;
    }
}

TEST_F(FileServing, LogsTheBytesOfAFileAsSent) {
    struct Case {
        const char* what;
        std::string name;
        off_t size;
        // Cut to this size once its head has arrived (0: left alone).
        off_t shrinkTo;
    };
    const Case cases[] = {
        {"small, in one piece", "sized65536", 65536, 0},
        {"large, streamed", "sized600000", 600000, 0},
        {"large, shrinks while sent", "shrinking.bin", off_t{64} << 20, off_t{16} << 20},
    };
    size_t logged = 0;
    for (const Case& c : cases) {
        const std::string path = base.root + "/" + c.name;
        if (c.shrinkTo != 0) {
            WriteFile(path, "");
            ASSERT_EQ(::truncate(path.c_str(), c.size), 0);
        }
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get("/" + c.name));
        std::string in = ReadUntil(
            fd, [](const std::string& got) { return got.find("\r\n\r\n") != std::string::npos; });
        bool closed = false;
        if (c.shrinkTo != 0) {
            ASSERT_EQ(::truncate(path.c_str(), c.shrinkTo), 0);
            in += ReadToClose(fd, &closed);
        } else {
            in += ReadUntil(
                fd, [&in](const std::string& got) { return CountAnswers(in + got) >= 1; }, &closed);
        }
        ::close(fd);
        EXPECT_EQ(StatusLine(in), "HTTP/1.1 200 OK") << c.what;
        // The peer can tell a file cut short: the connection ends early.
        EXPECT_EQ(BodyOf(in).size(), static_cast<size_t>(c.shrinkTo != 0 ? c.shrinkTo : c.size))
            << c.what;
        EXPECT_EQ(closed, c.shrinkTo != 0) << c.what;
        const KrServerCallback_t line = server.events.waitFor(KR_EVENT_ACCESS_LOG, ++logged);
        ASSERT_EQ(line.type, KR_EVENT_ACCESS_LOG) << c.what;
        EXPECT_EQ(LoggedStatusAndBytes(line.values.at("logging")),
                  std::make_pair(std::string("200"), std::to_string(in.size())))
            << c.what;
    }
}

// The access-log lines of requests for `path` ("GET /x" --> ...).
std::vector<std::string> LinesOf(Events& events, const std::string& path) {
    std::vector<std::string> lines;
    for (const std::string& line : events.logLines()) {
        if (line.find(" " + path + "\" --> ") != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

TEST_F(FileServing, AtItsStopAProgramsCancelledAnswerIsTheLastOnItsConnection) {
    // Each peer pipelines a program that works 3 s and a small file; the
    // server stops while the programs run. A peer must never take the
    // file's answer for the program's: the program's request is answered
    // 503 (the server stops), the connection closes behind it, and its line
    // says what was sent. The file's request was never read: no line.
    WriteFile(base.root + "/cgi-bin/pause.sh",
              "#!/bin/sh\necho $$ >> '" + base.top + "/pids'\nsleep 3\n"
              "printf 'Content-Type: text/plain\\r\\n\\r\\nlate'\n",
              0755);
    auto own = std::make_unique<Server>(std::map<std::string, std::string>{
        {"_baseDirectoryHTTP", base.root}});
    const unsigned ownPort = own->waitListening();
    std::vector<int> peers;
    for (int i = 0; i < 5; ++i) {
        peers.push_back(ConnectLoopback(ownPort));
        SendAll(peers.back(), Get("/cgi-bin/pause.sh") + Get("/style.css"));
    }
    ASSERT_EQ(WaitForPids(base.top + "/pids", peers.size()).size(), peers.size());
    own->transceiver.reset();
    std::vector<std::string> received;
    for (const int fd : peers) {
        bool closed = false;
        const std::string in = ReadToClose(fd, &closed);
        ::close(fd);
        EXPECT_TRUE(closed);
        EXPECT_EQ(CountAnswers(in), 1u) << in;
        EXPECT_EQ(StatusLine(in), "HTTP/1.1 503 Service Unavailable") << in;
        EXPECT_EQ(in.find("p{}"), std::string::npos) << in;
        received.push_back(std::to_string(in.size()));
    }
    std::vector<std::string> logged;
    for (const std::string& line : LinesOf(own->events, "/cgi-bin/pause.sh")) {
        const auto [status, bytes] = LoggedStatusAndBytes(line);
        EXPECT_EQ(status, "503") << line;
        logged.push_back(bytes);
    }
    std::sort(received.begin(), received.end());
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(logged, received);
    EXPECT_TRUE(LinesOf(own->events, "/style.css").empty());
}

TEST_F(FileServing, PeersThatResetAsTheirProgramsAnswerAreLoggedOnceEach) {
    // Each program answers after half a second; its peer resets somewhere
    // between just before and just after that, so some resets fall on the
    // end of the program, some before it, some after the answer went out.
    // However they fall, every request gets exactly one line, with the
    // program's status and no more bytes than its answer has (or, where the
    // reset came before its program could start on a busy machine, 499 and
    // no bytes).
    server.client->setCGIConcurrency(128, 128);
    WriteFile(base.root + "/cgi-bin/soon.sh",
              "#!/bin/sh\nsleep 0.5\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n", 0755);
    const std::string whole = Ask(port, Get("/cgi-bin/soon.sh"));
    ASSERT_EQ(BodyOf(whole), "hello") << whole;
    const size_t peers = 120;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < peers; ++i) {
        threads.emplace_back([this, i] {
            const int fd = ConnectLoopback(port);
            SendAll(fd, Get("/cgi-bin/soon.sh"));
            std::this_thread::sleep_for(std::chrono::milliseconds(350 + 3 * i));
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(fd);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    // One line for the request asked above, one per peer.
    ASSERT_EQ(server.events.waitFor(KR_EVENT_ACCESS_LOG, peers + 1).type, KR_EVENT_ACCESS_LOG);
    EXPECT_TRUE(NoChildrenLeft());
    const std::vector<std::string> lines = LinesOf(server.events, "/cgi-bin/soon.sh");
    EXPECT_EQ(lines.size(), peers + 1);
    for (const std::string& line : lines) {
        const auto [status, bytes] = LoggedStatusAndBytes(line);
        if (status == "499") {
            EXPECT_EQ(bytes, "0") << line;
            continue;
        }
        EXPECT_EQ(status, "200") << line;
        EXPECT_LE(std::stoul(bytes), whole.size()) << line;
    }
}

// The bytes a socket of this process has queued and not yet had acknowledged
// (what it wrote that its peer has not received), found by the peer's port.
size_t UnsentBytesOfServerSocket(unsigned peerPort) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
            continue;
        const unsigned port =
            peer.ss_family == AF_INET
                ? ntohs(reinterpret_cast<sockaddr_in&>(peer).sin_port)
                : ntohs(reinterpret_cast<sockaddr_in6&>(peer).sin6_port);
        int unsent = 0;
        if (port == peerPort && ::ioctl(fd, SIOCOUTQ, &unsent) == 0)
            return static_cast<size_t>(unsent);
    }
    return SIZE_MAX;
}

TEST_F(FileServing, AnswersMadeInPlaceAreLoggedWithTheBytesThatReachedTheSocket) {
    // A peer pipelines 300 requests for a kept 50,000-byte file, reads
    // nothing and resets once the server can write no more. What the server
    // wrote is what the peer's socket holds plus what its own still has to
    // send; the lines count exactly that, not the answers queued behind.
    WriteFile(base.root + "/fifty.bin", BaseDirectory::Pattern(50000));
    ASSERT_EQ(BodyOf(Ask(port, Get("/fifty.bin"))).size(), 50000u);
    // (Its line is written once its bytes are out: it may come after them.)
    ASSERT_EQ(server.events.waitFor(KR_EVENT_ACCESS_LOG, 1).type, KR_EVENT_ACCESS_LOG);
    const size_t before = LinesOf(server.events, "/fifty.bin").size();
    const int fd = ConnectLoopback(port);
    const int small = 64 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string requests;
    for (int i = 0; i < 300; ++i)
        requests += Get("/fifty.bin");
    SendAll(fd, requests);
    sockaddr_in self{};
    socklen_t length = sizeof self;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length);
    // Written, once the writing has begun and stopped (the same sum for 300 ms).
    size_t written = 0;
    auto writtenSince = std::chrono::steady_clock::now();
    WaitFor([&] {
        int waiting = 0;
        ::ioctl(fd, FIONREAD, &waiting);
        const size_t now = static_cast<size_t>(waiting) + UnsentBytesOfServerSocket(ntohs(self.sin_port));
        if (now != written) {
            written = now;
            writtenSince = std::chrono::steady_clock::now();
        }
        return written > 0 &&
               std::chrono::steady_clock::now() - writtenSince >= std::chrono::milliseconds(300);
    });
    ASSERT_GT(written, 0u);
    ASSERT_LT(written, 300u * 50000);
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    // Every answer the server made has its line once the connection is gone.
    size_t logged = 0;
    WaitFor([&] {
        const std::vector<std::string> lines = LinesOf(server.events, "/fifty.bin");
        logged = 0;
        for (size_t i = before; i < lines.size(); ++i)
            logged += std::stoul(LoggedStatusAndBytes(lines[i]).second);
        return server.transceiver->connectionCount() == 0 && logged >= written;
    });
    EXPECT_EQ(logged, written);
}

TEST(FileServingBase, AnotherBaseDirectoryServesItsOwnFilesAtOnce) {
    // An application may point its client at another directory while it
    // runs; a file kept from the first must not answer for the second.
    struct MovableClient : KrTransceiverClient {
        using KrTransceiverClient::KrTransceiverClient;
        using KrTransceiverClient::baseDirectory;
    };
    BaseDirectory base;
    MovableClient* client = nullptr;
    Server server({{"_baseDirectoryHTTP", base.root}}, KR_PROTOCOL_HTTP,
                  [&client](auto callback, const auto& options) {
                      auto made = std::make_shared<MovableClient>(callback, options, nullptr);
                      client = made.get();
                      return made;
                  });
    const unsigned port = server.waitListening();
    const std::string other = base.top + "/other";
    ::mkdir(other.c_str(), 0755);
    WriteFile(base.root + "/same.txt", "first");
    WriteFile(other + "/same.txt", "other");
    EXPECT_EQ(BodyOf(Ask(port, Get("/same.txt"))), "first");
    EXPECT_EQ(BodyOf(Ask(port, Get("/same.txt"))), "first");
    client->baseDirectory = other;
    EXPECT_EQ(BodyOf(Ask(port, Get("/same.txt"))), "other");
}

TEST_F(FileServing, FilesKeptPastTheWatchBudgetAreStillServedAsTheyAreNow) {
    // Past its watches a kept file is checked on each request instead.
    const int count = KrFileWatch::kMaxWatches + 8;
    for (int i = 0; i < count; ++i)
        WriteFile(base.root + "/many" + std::to_string(i) + ".txt", "first");
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(BodyOf(Ask(port, Get("/many" + std::to_string(i) + ".txt"))), "first") << i;
    for (const int i : {count - 1, 0}) {
        const std::string file = base.root + "/many" + std::to_string(i) + ".txt";
        const int fd = ::open(file.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, "later", 5, 0), 5);
        ::close(fd);
        EXPECT_EQ(BodyOf(Ask(port, Get("/many" + std::to_string(i) + ".txt"))), "later") << i;
    }
}

TEST_F(FileServing, ServesAFileAsItIsNowAfterItChanged) {
    // Small files are kept after their first answer. Whatever way a kept
    // file changes, the next request gets it as it is now: no wait, even
    // when size and time stay the same.
    const std::string outside = base.top + "/outside";
    ::mkdir(outside.c_str(), 0755);
    ::mkdir((base.root + "/deep").c_str(), 0755);
    const auto rewriteInPlace = [](const std::string& path, const std::string& text) {
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        ::close(fd);
    };
    struct Case {
        const char* how;
        const char* path;  // below the base directory
        std::function<void(const std::string& file)> change;
        std::string status;
        std::string body;  // checked when not empty
    };
    const Case cases[] = {
        {"same size, same time", "a.txt",
         [&](const std::string& file) { rewriteInPlace(file, "again"); }, "200 OK", "again"},
        {"written through a link outside", "b.txt",
         [&](const std::string& file) {
             const std::string other = outside + "/b-link";
             ASSERT_EQ(::link(file.c_str(), other.c_str()), 0);
             rewriteInPlace(other, "other");
         },
         "200 OK", "other"},
        {"grown", "c.txt", [](const std::string& file) { WriteFile(file, "first and more"); },
         "200 OK", "first and more"},
        {"cut short", "d.txt", [](const std::string& file) { ::truncate(file.c_str(), 2); },
         "200 OK", "fi"},
        {"replaced by a rename", "e.txt",
         [&](const std::string& file) {
             WriteFile(outside + "/e-new", "fresh");
             ::rename((outside + "/e-new").c_str(), file.c_str());
         },
         "200 OK", "fresh"},
        {"its directory replaced", "deep/f.txt",
         [&](const std::string&) {
             ::rename((base.root + "/deep").c_str(), (outside + "/deep-old").c_str());
             ::mkdir((base.root + "/deep").c_str(), 0755);
             WriteFile(base.root + "/deep/f.txt", "newer");
         },
         "200 OK", "newer"},
        {"removed", "g.txt", [](const std::string& file) { ::unlink(file.c_str()); },
         "404 Not Found", ""},
        {"replaced by a link out of the base directory", "h.txt",
         [&](const std::string& file) {
             ::unlink(file.c_str());
             ::symlink((base.top + "/secret").c_str(), file.c_str());
         },
         "404 Not Found", ""},
    };
    for (const Case& c : cases) {
        const std::string file = base.root + "/" + c.path;
        WriteFile(file, "first");
        const std::string request = Get(std::string("/") + c.path);
        EXPECT_EQ(BodyOf(Ask(port, request)), "first") << c.how;
        EXPECT_EQ(BodyOf(Ask(port, request)), "first") << c.how;
        c.change(file);
        const std::string answer = Ask(port, request);
        EXPECT_EQ(StatusLine(answer), "HTTP/1.1 " + c.status) << c.how;
        if (!c.body.empty()) {
            EXPECT_EQ(BodyOf(answer), c.body) << c.how;
        }
    }
}

TEST_F(FileServing, AKeptFileRewrittenBetweenTwoPipelinedRequestsOfOneReadIsSentAsItIsNow) {
    // The socket is corked until the second request is written, so both
    // arrive in one segment and are read together; the file changes in
    // place (same size, perhaps the same time) between the two writes.
    const std::string file = base.root + "/pipe.txt";
    const std::string request = Get("/pipe.txt");
    WriteFile(file, "old");
    ASSERT_EQ(BodyOf(Ask(port, request)), "old");
    ASSERT_EQ(BodyOf(Ask(port, request)), "old");  // now answered as kept
    for (const std::string text : {"one", "two", "six"}) {
        const int fd = ConnectLoopback(port);
        int on = 1;
        ASSERT_EQ(::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on), 0);
        SendAll(fd, request);
        const int out = ::open(file.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(out, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        ::close(out);
        SendAll(fd, request);
        on = 0;
        ASSERT_EQ(::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on), 0);
        const std::string both = Answers(fd, 2);
        ::close(fd);
        const size_t second = both.find("HTTP/1.1 ", 1);
        ASSERT_NE(second, std::string::npos) << text;
        EXPECT_EQ(BodyOf(both.substr(second)), text);
    }
}

TEST(KrTransceiverClient, LargeBodiesGoToTheApplicationOnlyWhenTheyNameAPageAndElseReachProgramsWhole) {
    const TemporaryFolder temporary;
    RecordingApplication application;
    BaseDirectory base;
    Server server({{"_baseDirectoryHTTP", base.root}}, 3, [&](auto callback, const auto& options) {
        return std::make_shared<KrTransceiverClient>(callback, options, &application);
    });
    const unsigned port = server.waitListening();
    // Past what a body may hold in memory, so each is kept in a file.
    const std::string pad = BaseDirectory::Pattern(3 * KrXHeader::kMaxBodyInMemory);
    const std::string boundary = "multipart/form-data; boundary=XyZ";
    const std::string urlencoded = "application/x-www-form-urlencoded";
    const auto part = [](const std::string& name, const std::string& content) {
        return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + content +
               "\r\n";
    };
    struct Case {
        const char* what;
        std::string path;
        std::string type;
        std::string body;
        std::string status;
        bool echoed;  // the answer's body is the request's
    };
    const Case cases[] = {
        {"an upload to a page", "/x", boundary,
         part("quivoid", "known") + part("file", pad) + "--XyZ--\r\n", "HTTP/1.1 200 OK", false},
        {"fields for a page", "/x", urlencoded, "pad=" + pad + "&quivoid=known", "HTTP/1.1 200 OK",
         false},
        {"an upload to a program", "/cgi-bin/echo.sh", boundary,
         part("file", pad) + part("quivoid", "") + "--XyZ--\r\n", "HTTP/1.1 200 OK", true},
        {"fields for a program", "/cgi-bin/echo.sh", urlencoded, "quivoid=&pad=" + pad,
         "HTTP/1.1 200 OK", true},
        {"bytes for a program", "/cgi-bin/echo.sh", "application/octet-stream", pad,
         "HTTP/1.1 200 OK", true},
        // As a small one, a malformed body is refused wherever it goes.
        {"a cut upload", "/cgi-bin/echo.sh", boundary, part("file", pad), "HTTP/1.1 400 Bad Request",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string answer =
            Ask(port, "POST " + c.path + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + c.type +
                          "\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" +
                          c.body);
        EXPECT_EQ(StatusLine(answer), c.status);
        if (c.echoed) {
            EXPECT_EQ(BodyOf(answer).size(), c.body.size());
            EXPECT_TRUE(BodyOf(answer) == c.body);
        }
    }
    EXPECT_EQ(application.dispatched, (std::vector<std::string>{"known", "known"}));
    // Every body's file went with its request.
    EXPECT_EQ(temporary.entries(), 0u);
}

TEST_F(FileServing, AProgramThatExitedFreesItsSlotWhileAChildOfItHoldsItsOutput) {
    server.client->setCGIConcurrency(4, 4);
    // Each answers and exits, leaving a child that holds its output until
    // the test lets it write its last line: its slot is free, its answer not
    // yet whole. The children wait on a FIFO the test holds open, so each
    // finds the line it waits for whenever it comes to read.
    const std::string release = base.top + "/release";
    ASSERT_EQ(::mkfifo(release.c_str(), 0600), 0);
    const int lines = ::open(release.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lines, 0);
    WriteFile(base.root + "/cgi-bin/linger.sh",
              "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nanswered\\n'\n"
              "( read line < '" + release + "'; echo late ) &\n",
              0755);
    constexpr int kLingering = 20;
    std::vector<int> lingering;
    for (int i = 0; i < kLingering; ++i) {
        lingering.push_back(ConnectLoopback(port));
        SendAll(lingering.back(), Get("/cgi-bin/linger.sh"));
    }
    // Four slots: the later ones run only as the earlier exit.
    std::vector<std::string> received(kLingering);
    for (int i = 0; i < kLingering; ++i) {
        received[i] = ReadUntil(lingering[i], [](const std::string& in) {
            return DecodedBody(in).find("answered\n") != std::string::npos;
        });
        EXPECT_EQ(StatusLine(received[i]), "HTTP/1.1 200 OK") << i;
    }
    // Another program runs at once, and no answer before it has ended.
    const std::string quick = Ask(port, Get("/cgi-bin/quick.sh"));
    EXPECT_EQ(BodyOf(quick), "quick") << quick;
    for (int i = 0; i < kLingering; ++i)
        EXPECT_EQ(CountAnswers(received[i]), 0u) << i;
    // Once the children write their last line, every answer ends with it.
    const std::string go(kLingering * 3, '\n');
    ASSERT_EQ(::write(lines, go.data(), go.size()), static_cast<ssize_t>(go.size()));
    for (int i = 0; i < kLingering; ++i) {
        received[i] += Answers(lingering[i], 1);
        EXPECT_EQ(CountAnswers(received[i]), 1u) << i;
        EXPECT_EQ(DecodedBody(received[i]), "answered\nlate\n") << i;
        ::close(lingering[i]);
    }
    ::close(lines);
}

TEST_F(FileServing, FilesAndProgramsThatFindNoDescriptorAreAnswered503NeverNotFound) {
#ifdef __SANITIZE_ADDRESS__
    // UBSan's type checks need a pipe of their own; without descriptors they
    // report every virtual call as wrong.
    GTEST_SKIP() << "needs free descriptors under the address sanitizer build";
#endif
    // The connection, the kept file and the program runner are there before
    // the descriptors run out.
    const int fd = ConnectLoopback(port);
    SendAll(fd, Get("/index.html") + Get("/cgi-bin/quick.sh"));
    const std::string warm = Answers(fd, 2);
    ASSERT_EQ(CountAnswers(warm), 2u) << warm;
    const std::vector<std::string> paths = {"/sized600000", "/cgi-bin/quick.sh", "/page.php",
                                            "/index.html"};
    std::string during;
    testing::internal::CaptureStderr();
    {
        harness::DescriptorDrought drought;
        for (const std::string& path : paths) {
            SendAll(fd, Get(path));
            const std::string answer = Answers(fd, 1);
            during += path + "\n" + answer;
            if (path == "/index.html") {
                // A kept file needs no descriptor.
                EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK") << answer;
                EXPECT_EQ(BodyOf(answer), "<p>index</p>");
                continue;
            }
            EXPECT_EQ(StatusLine(answer), "HTTP/1.1 503 Service Unavailable") << path << answer;
            EXPECT_NE(answer.find("\r\nRetry-After: 5\r\n"), std::string::npos) << answer;
            EXPECT_NE(BodyOf(answer).find("too many files open"), std::string::npos) << answer;
        }
    }
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("Could not open " + base.root + "/sized600000: Too many open files, "
                        "answered 503"),
              std::string::npos)
        << told;
    // Descriptors back, the same connection gets every file and program.
    SendAll(fd, Get("/sized600000") + Get("/cgi-bin/quick.sh"));
    const std::string after = Answers(fd, 2);
    EXPECT_EQ(StatusLine(after), "HTTP/1.1 200 OK") << after;
    EXPECT_NE(after.find(BaseDirectory::Pattern(600000)), std::string::npos);
    EXPECT_EQ(after.rfind("quick"), after.size() - 5) << after.substr(600000);
    ::close(fd);
}

void Reset(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

// The statuses of the access-log lines for `path` so far.
std::vector<std::string> LoggedStatuses(Events& events, const std::string& path) {
    std::vector<std::string> statuses;
    for (const std::string& line : LinesOf(events, path))
        statuses.push_back(LoggedStatusAndBytes(line).first);
    return statuses;
}

TEST_F(FileServing, ProgramsWhoseClientsResetHoldUpNobodyAndThoseBeyondTheAllowanceEnd) {
    // Two slots, room for two programs whose clients left. The program
    // writes a line every 10 ms and never ends by itself.
    server.client->setCGIConcurrency(2, 2);
    const std::string pids = base.top + "/pids";
    WriteFile(base.root + "/cgi-bin/long.sh",
              "#!/bin/sh\necho $$ >> '" + pids + "'\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
              "while :; do echo line; sleep 0.01; done\n",
              0755);
    // Four ask for it, one after another: the first two run, the last two
    // wait.
    std::vector<int> peers;
    std::vector<pid_t> running;
    for (size_t i = 0; i < 4; ++i) {
        peers.push_back(ConnectLoopback(port));
        SendAll(peers.back(), Get("/cgi-bin/long.sh"));
        if (i < 2) {
            running = WaitForPids(pids, i + 1);
            ASSERT_EQ(running.size(), i + 1);
        } else {
            ASSERT_TRUE(WaitFor([&] { return server.client->waitingPrograms() == i - 1; }));
        }
    }
    // The two that wait reset first: they never run, and their lines say
    // their clients left. (Reset after a running one, a waiting one could
    // take the freed slot before the server has read its own reset.)
    Reset(peers[2]);
    Reset(peers[3]);
    EXPECT_TRUE(WaitFor([&] {
        return LoggedStatuses(server.events, "/cgi-bin/long.sh") ==
               std::vector<std::string>{"499", "499"};
    }));
    for (const std::string& line : LinesOf(server.events, "/cgi-bin/long.sh"))
        EXPECT_EQ(LoggedStatusAndBytes(line).second, "0") << line;
    EXPECT_TRUE(WaitFor([&] { return server.client->waitingPrograms() == 0; }));
    // The two that run go on, each in the allowance, once their clients
    // reset.
    Reset(peers[0]);
    Reset(peers[1]);
    // The server holds none of their sockets, though two of their programs run.
    EXPECT_TRUE(WaitFor([&] { return AcceptedSocketsOn(port) == 0; })) << AcceptedSocketsOn(port);
    // Clients that stay are answered while those two run on.
    EXPECT_EQ(BodyOf(Ask(port, Get("/cgi-bin/quick.sh"))), "quick");
    const std::string php = Ask(port, Get("/page.php?x=1"));
    EXPECT_EQ(BodyOf(php), "x=1;m=GET;n=;q=x=1") << php;
    for (const pid_t pid : running)
        EXPECT_TRUE(ProcessAlive(pid)) << pid;
    EXPECT_EQ(WaitForPids(pids, 0).size(), 2u);
    // Two more run and their clients reset: with the allowance full, those
    // two are ended, and their lines say so.
    peers.clear();
    for (int i = 0; i < 2; ++i) {
        peers.push_back(ConnectLoopback(port));
        SendAll(peers.back(), Get("/cgi-bin/long.sh"));
    }
    const std::vector<pid_t> all = WaitForPids(pids, 4);
    ASSERT_EQ(all.size(), 4u);
    for (const int fd : peers)
        Reset(fd);
    EXPECT_TRUE(WaitFor(
        [&] { return LoggedStatuses(server.events, "/cgi-bin/long.sh").size() == 4u; }));
    for (const std::string& status : LoggedStatuses(server.events, "/cgi-bin/long.sh"))
        EXPECT_EQ(status, "499");
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(all[2]) && !ProcessAlive(all[3]); }));
    for (const pid_t pid : running)
        EXPECT_TRUE(ProcessAlive(pid)) << pid;
    EXPECT_TRUE(WaitFor([&] { return AcceptedSocketsOn(port) == 0; }));
}

TEST_F(FileServing, AGoneClientsProgramIsLoggedAsItExitsThoughAChildOfItHoldsItsOutput) {
    // The program answers, leaves a child holding its output and waits at
    // a gate; its client resets meanwhile. The connection's socket closes
    // at once; the program's pipe closes, and its line is written, as the
    // program exits, while the child still runs.
    server.client->setCGIConcurrency(1, 1);
    FifoGate gate(base.top + "/gate");
    const std::string children = base.top + "/children";
    WriteFile(base.root + "/cgi-bin/leaves.sh",
              "#!/bin/sh\nsleep 600 &\necho $! >> '" + children + "'\n"
              "printf 'Content-Type: text/plain\\r\\n\\r\\nbegun\\n'\nread go < '" + gate.path +
                  "'\n",
              0755);
    EXPECT_EQ(BodyOf(Ask(port, Get("/cgi-bin/quick.sh"))), "quick");
    EXPECT_TRUE(NoChildrenLeft());
    const size_t pipesBefore = OpenDescriptorsOf("pipe");
    const int fd = ConnectLoopback(port);
    SendAll(fd, Get("/cgi-bin/leaves.sh"));
    const std::string begun = ReadUntil(
        fd, [](const std::string& in) { return DecodedBody(in).find("begun") != std::string::npos; });
    EXPECT_EQ(StatusLine(begun), "HTTP/1.1 200 OK") << begun;
    const std::vector<pid_t> child = WaitForPids(children, 1);
    ASSERT_EQ(child.size(), 1u);
    Reset(fd);
    EXPECT_TRUE(WaitFor([&] { return AcceptedSocketsOn(port) == 0; }));
    EXPECT_TRUE(LinesOf(server.events, "/cgi-bin/leaves.sh").empty());
    gate.open();
    EXPECT_TRUE(WaitForLine(server.events, "\"GET /cgi-bin/leaves.sh\" --> 200 "));
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptorsOf("pipe") <= pipesBefore; }))
        << OpenDescriptorsOf("pipe") << " pipes, " << pipesBefore << " before";
    EXPECT_TRUE(ProcessAlive(child[0]));
    // The slot and the allowance are free: the next program runs at once.
    EXPECT_EQ(BodyOf(Ask(port, Get("/cgi-bin/quick.sh"))), "quick");
    ::kill(child[0], SIGKILL);
}

TEST_F(FileServing, AtItsStopARequestStillWaitingForASlotIsToldTheServerIsStopping) {
    server.client->setCGIConcurrency(1, 1);
    const int running = ConnectLoopback(port);
    SendAll(running, Get("/cgi-bin/pid.sh"));
    ASSERT_EQ(WaitForPids(base.top + "/pids", 1).size(), 1u);
    const int waiting = ConnectLoopback(port);
    SendAll(waiting, Get("/cgi-bin/quick.sh"));
    ASSERT_TRUE(WaitFor([&] { return server.client->waitingPrograms() == 1; }));
    server.client->_stopPrograms();
    for (const int fd : {running, waiting}) {
        bool closed = false;
        const std::string in = ReadToClose(fd, &closed);
        EXPECT_EQ(StatusLine(in), "HTTP/1.1 503 Service Unavailable") << in;
        EXPECT_NE(BodyOf(in).find("The server is stopping."), std::string::npos) << in;
        EXPECT_TRUE(closed);
        ::close(fd);
    }
    EXPECT_TRUE(NoChildrenLeft());
}
