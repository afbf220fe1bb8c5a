// quivoone serving a copy of the example folder: files, the index page, PHP
// through the real php-cgi, a cgi-bin program, a redirect, refused paths.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <iterator>
#include <regex>
#include <thread>

#include "foundation/tests/WaitFor.h"
#include "programs/tests/ProgramHarness.h"
#include "transport/tests/FifoGate.h"

namespace {

using harness::Folder;
using harness::Process;

class ExampleServing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = new Folder();
        std::filesystem::copy(std::string(QUIVO_SOURCE_DIR) + "/example", folder->path,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        folder->write("redirect.php", "<?php header('Location: /style.css'); ?>");
        folder->write("bytes.bin", std::string("\0\1\2\377ab", 6));
        // Its first line, then the rest once the test has seen that line.
        linesGate = new FifoGate(folder->path + "/lines.fifo");
        folder->write("lines.php",
                      "<?php header('Content-Type: text/plain');\n"
                      "while (ob_get_level()) ob_end_flush();\n"
                      "echo \"line 0\\n\"; flush();\n"
                      "fgets(fopen(__DIR__ . '/lines.fifo', 'r'));\n"
                      "for ($i = 1; $i < 3; $i++) { echo \"line $i\\n\"; flush(); }\n");
        // Each marks its end, 20 s after its answer.
        folder->write("early.php",
                      "<?php header('Content-Length: 4'); echo 'done';\n"
                      "while (ob_get_level()) ob_end_flush();\nflush(); sleep(20);\n"
                      "file_put_contents(__DIR__ . '/early.php.ended', '1');\n");
        folder->write("cgi-bin/early.sh",
                      "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nanswered'\n"
                      "exec >&-\nsleep 20\necho 1 > '" + folder->path + "/cgi-bin/early.sh.ended'\n",
                      true);
        folder->write("status.php",
                      "<?php http_response_code((int)$_GET['s']);\n"
                      "if (isset($_GET['l'])) header('Location: ' . $_GET['l']);\n"
                      "echo isset($_GET['a']) ? $_SERVER['REMOTE_ADDR'] : str_repeat('x', 1234);\n");
        // Announces a download's length and dies of a fatal error part way.
        folder->write("download.php",
                      "<?php header('Content-Type: application/octet-stream');\n"
                      "header('Content-Length: 100000');\necho str_repeat('d', 10000);\n"
                      "while (ob_get_level()) ob_end_flush();\nflush();\nundefined_function();\n");
        folder->write("hints.php", "<?php http_response_code(103); echo 'x';\n");
        // An import that takes 40 s, as a large one does: it marks its start
        // and its end, and answers only then.
        folder->write("import.php",
                      "<?php $n = (int)$_GET['n'];\nfile_put_contents(\"import$n.started\", '1');\n"
                      "sleep(40);\nfile_put_contents(\"import$n.done\", 'all rows');\n"
                      "echo 'imported';\n");
        // A folder whose index is a script, as WordPress's wp-admin is.
        folder->write("wp-admin/index.php",
                      "<?php echo implode('|', [$_SERVER['SCRIPT_NAME'], $_SERVER['REQUEST_URI'],\n"
                      "    $_SERVER['REQUEST_METHOD'], file_get_contents('php://input')]);\n");
        port = harness::freePort();
        folder->configure(std::to_string(port));
        program = new Process({QUIVOONE_PROGRAM}, folder->path);
        if (program->waitOutput("going to run app\n"))
            harness::waitListening(port);
    }
    static void TearDownTestSuite() {
        program->send("quit\n");
        program->wait();
        delete program;
        delete linesGate;
        delete folder;
    }
    // curl's answer: head and body as received, or with -L the last one;
    // `exit`, when given, receives curl's exit status.
    static std::string curl(const std::vector<std::string>& arguments, int* exit = nullptr) {
        std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-i", "--max-time", "20",
                                         "--path-as-is"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        Process client(argv, "/tmp");
        client.closeInput();
        const int status = client.wait(30);
        if (exit != nullptr)
            *exit = status;
        return client.output;
    }
    static std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // The body behind the last head (curl -L prints every head it followed).
    static std::string body(std::string answer) {
        while (answer.rfind("HTTP/", 0) == 0) {
            const size_t end = answer.find("\r\n\r\n");
            if (end == std::string::npos)
                return "";
            answer.erase(0, end + 4);
        }
        return answer;
    }
    static std::string status(const std::string& answer) {
        return answer.substr(0, answer.find("\r\n"));
    }
    static std::string file(const std::string& name) {
        std::ifstream in(folder->path + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static Folder* folder;
    static FifoGate* linesGate;
    static Process* program;
    static int port;
};

Folder* ExampleServing::folder = nullptr;
FifoGate* ExampleServing::linesGate = nullptr;
Process* ExampleServing::program = nullptr;
int ExampleServing::port = 0;

TEST_F(ExampleServing, ServesFilesWithTheirLengthAndType) {
    ASSERT_TRUE(harness::listening(port)) << program->output << program->error;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/style.css", "text/css"}, {"/index.html", "text/html"},
        {"/bytes.bin", "application/octet-stream"}};
    for (const auto& [path, type] : cases) {
        const std::string answer = curl({url(path)});
        const std::string name = path.substr(1);
        EXPECT_EQ(status(answer), "HTTP/1.1 200 OK") << path;
        EXPECT_EQ(body(answer), file(name)) << path;
        EXPECT_NE(answer.find("Content-Length: " + std::to_string(file(name).size()) + "\r\n"),
                  std::string::npos)
            << answer;
        EXPECT_NE(answer.find("Content-Type: " + type), std::string::npos) << answer;
    }
}

TEST_F(ExampleServing, ServesTheIndexPageForTheRoot) {
    const std::string answer = curl({url("/")});
    EXPECT_EQ(status(answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(body(answer), file("index.html"));
}

TEST_F(ExampleServing, RunsThePHPPageThroughPhpCgi) {
    const std::string get = curl({url("/form.php?name=Ann%20%3Cb%3E")});
    EXPECT_EQ(status(get), "HTTP/1.1 200 OK") << get;
    EXPECT_NE(body(get).find("<h1>Hello, Ann &lt;b&gt;!</h1>"), std::string::npos) << get;
    EXPECT_NE(body(get).find("GET request.</p>"), std::string::npos) << get;
    const std::string post = curl({"--data", "name=Bo", url("/form.php")});
    EXPECT_NE(body(post).find("<h1>Hello, Bo!</h1>"), std::string::npos) << post;
    EXPECT_NE(body(post).find("POST request.</p>"), std::string::npos) << post;
}

TEST_F(ExampleServing, RunsACgiBinProgramWithItsBody) {
    const std::string answer = curl({"--data-binary", "text=hello+there", url("/cgi-bin/echo.sh?x=1")});
    EXPECT_EQ(status(answer), "HTTP/1.1 200 OK") << answer;
    EXPECT_EQ(body(answer), "method: POST\nquery: x=1\nbody: text=hello+there\n");
}

TEST_F(ExampleServing, ARedirectFromPHPArrivesAs302AndIsFollowed) {
    const std::string answer = curl({url("/redirect.php")});
    EXPECT_EQ(status(answer).substr(0, 12), "HTTP/1.1 302") << answer;
    EXPECT_NE(answer.find("Location: /style.css"), std::string::npos) << answer;
    const std::string followed = curl({"-L", url("/redirect.php")});
    EXPECT_EQ(body(followed), file("style.css"));
}

TEST_F(ExampleServing, AStatusSetInPHPReachesTheClient) {
    struct Row {
        std::string query;
        std::string statusLine;
        bool body;
    };
    const Row rows[] = {
        {"s=200", "HTTP/1.1 200 OK", true},
        {"s=202", "HTTP/1.1 202 Accepted", true},
        {"s=204", "HTTP/1.1 204 No Content", false},
        {"s=206", "HTTP/1.1 206 Partial Content", true},
        {"s=303&l=/style.css", "HTTP/1.1 303 See Other", true},
        {"s=304", "HTTP/1.1 304 Not Modified", false},
        {"s=307&l=/style.css", "HTTP/1.1 307 Temporary Redirect", true},
        {"s=308&l=/style.css", "HTTP/1.1 308 Permanent Redirect", true},
        {"s=401", "HTTP/1.1 401 Unauthorized", true},
        {"s=409", "HTTP/1.1 409 Conflict", true},
        {"s=410", "HTTP/1.1 410 Gone", true},
        {"s=412", "HTTP/1.1 412 Precondition Failed", true},
        {"s=415", "HTTP/1.1 415 Unsupported Media Type", true},
        {"s=418", "HTTP/1.1 418 I'm a teapot", true},
        {"s=422", "HTTP/1.1 422 Unprocessable Content", true},
        {"s=429", "HTTP/1.1 429 Too Many Requests", true},
    };
    for (const Row& row : rows) {
        int exit = -1;
        const std::string answer = curl({url("/status.php?" + row.query)}, &exit);
        EXPECT_EQ(status(answer), row.statusLine) << answer;
        // Sent with its length, or in chunks when php-cgi's output came in
        // pieces: either is whole to the client.
        EXPECT_TRUE(harness::ReadableAnswer(answer, exit, row.body ? std::string(1234, 'x') : ""))
            << row.query;
        const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
        // A browser refuses an answer with two Location fields.
        const size_t location = head.find("Location:");
        EXPECT_EQ(location != std::string::npos, row.query.find("&l=") != std::string::npos)
            << head;
        EXPECT_EQ(head.find("Location:", location + 1), std::string::npos) << head;
    }
    // HEAD: php-cgi writes no body then, so no length is announced at all.
    const std::string head = curl({"-I", url("/status.php?s=200")});
    EXPECT_EQ(status(head), "HTTP/1.1 200 OK") << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    // An IPv4 client is named as such.
    EXPECT_EQ(body(curl({url("/status.php?s=200&a=1")})), "127.0.0.1");
}

TEST(ReadableAnswer, TellsAFramingAClientCanReadFromOneItCannot) {
    // As curl -i prints them: the head as sent, the body with its chunks joined.
    struct Row {
        const char* what;
        std::string printed;
        int exit;
        std::string body;
        bool readable;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const Row rows[] = {
        {"its length", ok + "Content-Length: 3\r\n\r\nabc", 0, "abc", true},
        {"in chunks", ok + "Transfer-Encoding: chunked\r\n\r\nabc", 0, "abc", true},
        {"field names in another case", ok + "content-length:  3 \r\n\r\nabc", 0, "abc", true},
        {"a length that is not the body's", ok + "Content-Length: 4\r\n\r\nabc", 0, "abc", false},
        {"two lengths", ok + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc", 0, "abc", false},
        {"both framings", ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc", 0,
         "abc", false},
        {"a coding other than chunks last", ok + "Transfer-Encoding: chunked, gzip\r\n\r\nabc", 0,
         "abc", false},
        {"no framing", ok + "\r\nabc", 0, "abc", false},
        {"another body", ok + "Content-Length: 3\r\n\r\nabd", 0, "abc", false},
        {"cut short", ok + "Transfer-Encoding: chunked\r\n\r\nabc", 18, "abc", false},
        {"204 bare", "HTTP/1.1 204 No Content\r\nX: y\r\n\r\n", 0, "", true},
        {"204 with a length", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", 0, "", false},
        {"304 in chunks", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", 0, "",
         false},
        {"the last of two heads", "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n" + ok +
                                      "Content-Length: 2\r\n\r\nab",
         0, "ab", true},
        {"no head", "abc", 0, "abc", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(static_cast<bool>(harness::ReadableAnswer(row.printed, row.exit, row.body)),
                  row.readable)
            << row.what;
}

TEST_F(ExampleServing, RefusesPathsOutsideTheFolder) {
    for (const std::string path : {"/../../etc/passwd", "/cgi-bin/../../../bin/sh",
                                   "/%2e%2e/%2e%2e/etc/passwd", "/.hidden", "/cgi-bin/%2e%2e/index.html"}) {
        const std::string answer = curl({url(path)});
        EXPECT_EQ(status(answer).substr(0, 12), "HTTP/1.1 404") << path << "\n" << answer;
    }
}

// Reads from `fd` until `in` holds `text` (with no text, until the end), the
// peer closes or 20 s pass without a byte.
void ReadFor(int fd, std::string& in, const std::string& text) {
    char buffer[4096];
    while (text.empty() || in.find(text) == std::string::npos) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 20000) <= 0)
            return;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        in.append(buffer, static_cast<size_t>(n));
    }
}

TEST_F(ExampleServing, AnswersAPeerThatShutsItsSendingSideAfterItsRequest) {
    // As `nc -N` does: the request, then the end of input. The answer still
    // comes whole, then the connection closes.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/style.css", file("style.css")},
        {"/form.php?name=Cy", "<h1>Hello, Cy!</h1>"},
        {"/cgi-bin/echo.sh?q=1", "query: q=1\n"},
    };
    for (const auto& [path, expected] : cases) {
        const int fd = ConnectLoopback(static_cast<unsigned>(port));
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        ::shutdown(fd, SHUT_WR);
        std::string answer;
        ReadFor(fd, answer, "");
        ::close(fd);
        EXPECT_EQ(status(answer), "HTTP/1.1 200 OK") << path << "\n" << answer;
        EXPECT_NE(answer.find(expected), std::string::npos) << path << "\n" << answer;
    }
}

TEST_F(ExampleServing, RunsAFoldersPHPIndexAsItself) {
    // After its log in, WordPress sends the browser to "/wp-admin/".
    const std::string get = curl({url("/wp-admin/?page=1")});
    EXPECT_EQ(status(get), "HTTP/1.1 200 OK") << get;
    EXPECT_EQ(body(get), "/wp-admin/index.php|/wp-admin/?page=1|GET|");
    const std::string post = curl({"--data", "log=ann", url("/wp-admin/")});
    EXPECT_EQ(body(post), "/wp-admin/index.php|/wp-admin/|POST|log=ann");
    const std::string head = curl({"-I", url("/wp-admin/")});
    EXPECT_EQ(status(head), "HTTP/1.1 200 OK") << head;
    EXPECT_EQ(body(head), "");
    // Named without its slash, the folder is reached by one redirect.
    const std::string moved = curl({url("/wp-admin?x=1")});
    EXPECT_EQ(status(moved), "HTTP/1.1 301 Moved Permanently") << moved;
    EXPECT_NE(moved.find("Location: /wp-admin/?x=1\r\n"), std::string::npos) << moved;
    EXPECT_EQ(body(curl({"-L", url("/wp-admin?x=1")})), "/wp-admin/index.php|/wp-admin/?x=1|GET|");
}

TEST_F(ExampleServing, NeverServesItsOwnConfiguration) {
    ASSERT_NE(file("quivoone.xml").find("<quivoone>"), std::string::npos);
    for (const std::string path : {"/quivoone.xml", "//quivoone.xml", "/%71uivoone.xml",
                                   "/./quivoone.xml", "/wp-admin/../quivoone.xml"}) {
        const std::string answer = curl({url(path)});
        EXPECT_EQ(status(answer).substr(0, 12), "HTTP/1.1 404") << path << "\n" << answer;
        EXPECT_EQ(answer.find("<quivoone>"), std::string::npos) << path;
    }
}

TEST(ExampleServingAlone, HandsJSONBodiesToPHPWholeAndQuietly) {
    // The block editor posts JSON to PHP pages, several per page: each
    // arrives byte for byte, and the console stays empty.
    Folder folder;
    folder.write("echo.php",
                 "<?php echo $_SERVER['CONTENT_TYPE'], '|', file_get_contents('php://input');\n");
    const int port = harness::freePort();
    folder.configure(std::to_string(port));
    Process program({QUIVOONE_PROGRAM}, folder.path);
    ASSERT_TRUE(program.waitOutput("going to run app\n")) << program.error;
    ASSERT_TRUE(harness::waitListening(port));
    std::string large = "{\"blocks\":[";
    for (int i = 0; i < 5000; ++i)
        large += std::string(i == 0 ? "" : ",") + "{\"id\":" + std::to_string(i) +
                 ",\"html\":\"<p>a=b&c=d \\u00e9</p>\"}";
    large += "]}";
    const std::pair<std::string, std::string> posts[] = {
        {"application/json", "{\"title\":\"x=1&y=2\"}"},
        {"application/json; charset=utf-8", large},
        {"text/plain", "plain=text"},
    };
    for (const auto& [type, json] : posts) {
        // Through files: the large body is more than a pipe holds.
        folder.write("sent.json", json);
        Process client({"/usr/bin/curl", "-s", "--max-time", "20", "-H", "Content-Type: " + type,
                        "--data-binary", "@sent.json", "-o", "answer.txt",
                        "http://127.0.0.1:" + std::to_string(port) + "/echo.php"},
                       folder.path);
        client.closeInput();
        EXPECT_EQ(client.wait(30), 0) << type;
        std::ifstream answer(folder.path + "/answer.txt", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(answer), {}), type + "|" + json)
            << type;
    }
    program.send("quit\n");
    EXPECT_EQ(program.wait(), 0);
    EXPECT_EQ(program.error, "");
}

TEST_F(ExampleServing, APageReachesTheClientAsItIsWritten) {
    // Each line goes out as php-cgi writes it: the page goes on past its
    // first line only once that line has reached the client.
    const int fd = ConnectLoopback(static_cast<unsigned>(port));
    const std::string request = "GET /lines.php HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string in;
    ReadFor(fd, in, "line 0\n");
    EXPECT_EQ(status(in), "HTTP/1.1 200 OK") << in;
    EXPECT_NE(in.find("line 0\n"), std::string::npos) << "held until the page ended: " << in;
    linesGate->open();
    ReadFor(fd, in, "\r\n0\r\n\r\n");
    ::close(fd);
    EXPECT_NE(in.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << in;
    EXPECT_NE(in.find("line 2\n"), std::string::npos) << in;
    EXPECT_NE(in.find("\r\n0\r\n\r\n"), std::string::npos) << in;
}

TEST_F(ExampleServing, ADownloadCutShortByAFatalErrorIsToldToTheClient) {
    // The length the page announced goes out as it stands, and the
    // connection closes before it: curl says the transfer was cut short.
    Process client({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{size_download}",
                    "--max-time", "20", url("/download.php")},
                   "/tmp");
    client.closeInput();
    EXPECT_EQ(client.wait(30), 18);
    EXPECT_EQ(client.output, "200 10000");
    // An interim status cannot be a page's answer.
    EXPECT_EQ(status(curl({url("/hints.php")})), "HTTP/1.1 502 Server Error");
}

TEST_F(ExampleServing, AnAnswerEndsWithItsOutputWhileTheProgramWorksOn) {
    // Each works on for 20 s after its answer: a cgi-bin program closes its
    // output; PHP cannot, so its page sends its length instead. The answer
    // is whole while the program still works (curl gives up at 20 s).
    const std::pair<std::string, std::string> rows[] = {{"/cgi-bin/early.sh", "answered"},
                                                        {"/early.php", "done"}};
    for (const auto& [path, expected] : rows) {
        int exit = -1;
        const std::string answer = curl({url(path)}, &exit);
        EXPECT_EQ(status(answer), "HTTP/1.1 200 OK") << answer;
        EXPECT_TRUE(harness::ReadableAnswer(answer, exit, expected)) << path;
        EXPECT_EQ(file(path.substr(1) + ".ended"), "") << path << " ended before its answer did";
    }
}

TEST_F(ExampleServing, APageWhoseClientLeftWorksToItsEndAndIsLogged) {
    // The client leaves once the import has started: it closes its end (a
    // browser's closed tab), or resets the connection. The import still runs
    // to its end (longer than any limit a program whose client has gone
    // could be given), and its request gets its access-log line then, with
    // the page's status and the bytes sent (none to the reset one).
    struct Row {
        int n;
        bool reset;
        std::string logged;
    };
    const Row rows[] = {{1, false, "\"GET /import.php?n=1\" --> 200 "},
                        {2, true, "\"GET /import.php?n=2\" --> 200 0 "}};
    for (const Row& row : rows) {
        const int fd = ConnectLoopback(static_cast<unsigned>(port));
        ASSERT_GE(fd, 0);
        const std::string request =
            "GET /import.php?n=" + std::to_string(row.n) + " HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        const std::string started = "import" + std::to_string(row.n) + ".started";
        WaitFor([&] { return !file(started).empty(); });
        ASSERT_EQ(file(started), "1");
        if (row.reset) {
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(fd);
    }
    for (const Row& row : rows) {
        EXPECT_TRUE(program->waitOutput(row.logged, 60)) << program->output;
        EXPECT_EQ(file("import" + std::to_string(row.n) + ".done"), "all rows");
    }
}

TEST(ExampleServingWithoutPHP, SaysSoOnceAndAnswers502) {
    // php-cgi is looked for in the PATH: one without it.
    Folder folder;
    folder.write("page.php", "<?php echo 'never'; ?>");
    folder.write("empty/.keep", "");
    const int port = harness::freePort();
    folder.configure(std::to_string(port));
    Process program({QUIVOONE_PROGRAM}, folder.path, {"PATH=" + folder.path + "/empty"});
    ASSERT_TRUE(program.waitOutput("going to run app\n")) << program.error;
    ASSERT_TRUE(harness::waitListening(port));
    for (int round = 0; round < 2; ++round) {
        Process client({"/usr/bin/curl", "-s", "-i", "--max-time", "20",
                        "http://127.0.0.1:" + std::to_string(port) + "/page.php"},
                       "/tmp");
        client.closeInput();
        client.wait(30);
        EXPECT_EQ(client.output.substr(0, client.output.find("\r\n")), "HTTP/1.1 502 Server Error")
            << client.output;
        EXPECT_NE(client.output.find("php-cgi not found in the PATH"), std::string::npos)
            << client.output;
    }
    program.send("quit\n");
    program.wait();
    const std::string said = "php-cgi not found in the PATH: PHP pages get 502\n";
    EXPECT_NE(program.error.find(said), std::string::npos) << program.error;
    EXPECT_EQ(program.error.find(said), program.error.rfind(said)) << "said more than once";
}

TEST_F(ExampleServing, AnswersUnknownPathsWithTheNotFoundPage) {
    EXPECT_EQ(status(curl({url("/nothing-here.html")})).substr(0, 12), "HTTP/1.1 404");
}

}  // namespace

TEST(ExampleServingAlone, TracesEachPhaseChangeInOneLine) {
    // With QUIVO_TRACE_PHASES set, connections served on many threads at
    // once (the receive loop, workers, the program runner) each write their
    // phase changes; every line on standard error must be one whole change.
    Folder folder;
    folder.write("a.txt", "a");
    folder.write("cgi-bin/ok.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nok'\n",
                 true);
    const int port = harness::freePort();
    folder.configure(std::to_string(port));
    Process program({"/bin/sh", "-c", std::string("exec ") + QUIVOONE_PROGRAM +
                                          " >output.txt 2>trace.txt"},
                    folder.path, {"QUIVO_TRACE_PHASES=1"});
    ASSERT_TRUE(harness::waitListening(port));
    const std::string batch = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                              "GET /cgi-bin/ok.sh HTTP/1.1\r\nHost: x\r\n\r\n"
                              "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::vector<std::thread> peers;
    for (int t = 0; t < 8; ++t) {
        peers.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const int fd = ConnectLoopback(static_cast<unsigned>(port));
                ::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL);
                std::string in;
                ReadFor(fd, in, "");
                ::close(fd);
            }
        });
    }
    for (std::thread& peer : peers)
        peer.join();
    program.send("quit\n");
    EXPECT_EQ(program.wait(), 0);
    std::ifstream trace(folder.path + "/trace.txt");
    const std::regex change(
        "connection \\S+: (Reading|AtWorker|Answering|Draining|Closing|Lingering|Gone) -> "
        "(Reading|AtWorker|Answering|Draining|Closing|Lingering|Gone)");
    size_t lines = 0;
    for (std::string line; std::getline(trace, line); ++lines)
        EXPECT_TRUE(std::regex_match(line, change)) << line;
    // Each of the 80 connections went through Answering, Closing and Gone.
    EXPECT_GE(lines, 80u * 3);
}
