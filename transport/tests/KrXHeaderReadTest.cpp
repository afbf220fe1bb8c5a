#include "transport/KrXHeader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KrURL.h"
#include "transport/KrXResponseHeader.h"
#include "transport/tests/BufferText.h"
#include "transport/tests/KrHttpSamples.h"
#include "transport/tests/TemporaryFolder.h"

namespace {

struct Fed {
    int result = 0;
    int hookCalls = 0;
    int earlyCompletions = 0;  // results other than 0 before the last segment
};

// Appends the bytes in segments of `step` (0: all at once) and reads after
// each one, as the server does.
Fed Feed(KrXHeader& header, const std::string& bytes, size_t step) {
    Fed fed;
    auto hook = [&fed](KrXHeader&) {
        ++fed.hookCalls;
        return true;
    };
    if (step == 0)
        step = bytes.size();
    for (size_t at = 0; at < bytes.size(); at += step) {
        const size_t n = std::min(step, bytes.size() - at);
        header.body().sputn(bytes.data() + at, static_cast<std::streamsize>(n));
        fed.result = header.read(hook);
        if (fed.result != 0 && at + n < bytes.size())
            ++fed.earlyCompletions;
        if (fed.result == 1)
            break;
    }
    return fed;
}

// What a parsed request looks like, for comparing two ways of feeding it.
std::string Describe(KrXHeader& header) {
    std::string text = "method " + std::to_string(header.method()) + " direction " +
                       std::to_string(header.direction()) + " path " + header.path() + " query " +
                       header.query() + " length " + std::to_string(header.contentLength()) +
                       " close " + std::to_string(header.closeAfter()) + "\n";
    for (const auto& [name, values] : header.headers()) {
        for (const std::string& value : values)
            text += name + "=" + value + "\n";
    }
    header._parseBody();
    for (const auto& [name, block] : header.parameters())
        text += "param " + name + "=" + block->text() + " (" + block->fields["mimetype"] + ")\n";
    text += "body " + Unread(header.body()) + "\n";
    return text;
}

}  // namespace

TEST(KrXHeaderRead, CapturedRequestsParseTheSameWholeAndInPieces) {
    const std::vector<KrHttpSample> samples = KrHttpSamples();
    for (const KrHttpSample& sample : samples) {
        KrXHeader whole(KR_HTTP_POST, false, 3);
        const Fed fedWhole = Feed(whole, sample.bytes, 0);
        EXPECT_EQ(fedWhole.result, 2) << sample.name;
        EXPECT_EQ(fedWhole.hookCalls, 1) << sample.name;
        const std::string described = Describe(whole);
        // Pieces smaller and larger than what read() only scans.
        for (size_t step : {1, 2, 3, 17}) {
            KrXHeader pieces(KR_HTTP_POST, false, 3);
            const Fed fed = Feed(pieces, sample.bytes, step);
            EXPECT_EQ(fed.result, 2) << sample.name << " step " << step;
            EXPECT_EQ(fed.hookCalls, 1) << sample.name << " step " << step;
            EXPECT_EQ(fed.earlyCompletions, 0) << sample.name << " step " << step;
            EXPECT_EQ(described, Describe(pieces)) << sample.name << " step " << step;
        }
    }
}

TEST(KrXHeaderRead, AHeaderMadeFromAnotherRequestsRoomStartsEmpty) {
    // A thread keeps finished requests' field records and bodies for its
    // next ones. Read on a thread that kept nothing yet, and on one that has
    // just read every other sample (a large head among them), each sample
    // must read the same.
    std::vector<KrHttpSample> samples = KrHttpSamples();
    const std::string big(4000, 'b');
    samples.push_back({"large head", "GET /big HTTP/1.1\r\nHost: h\r\nX-Big: " + big +
                                         "\r\nX-Big: " + big + "\r\nX-Big: " + big +
                                         "\r\n\r\n"});
    samples.push_back({"bare", "GET / HTTP/1.1\r\nHost: h\r\n\r\n"});
    std::vector<std::string> fresh;
    std::thread([&samples, &fresh] {
        for (const KrHttpSample& sample : samples) {
            std::thread([&sample, &fresh] {
                KrXHeader header(KR_HTTP_POST, false, 3);
                Feed(header, sample.bytes, 0);
                fresh.push_back(Describe(header));
            }).join();
        }
    }).join();
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < samples.size(); ++i) {
            auto header = std::make_unique<KrXHeader>(KR_HTTP_POST, false, 3);
            EXPECT_EQ(header->body().str(), "") << samples[i].name;
            Feed(*header, samples[i].bytes, 0);
            EXPECT_EQ(Describe(*header), fresh[i]) << samples[i].name << " round " << round;
            EXPECT_EQ(header->firstRawHeader("x-big", "-") == big,
                      samples[i].name == "large head")
                << samples[i].name;
        }
    }
}

TEST(KrXHeaderRead, BrowserGetGivesFirstLineFieldsAndQuery) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(Feed(header, KrHttpSamples()[0].bytes, 0).result, 2);
    EXPECT_EQ(header.header(":first:"),
              (std::vector<std::string>{"GET", "/app/page.html?quivoid=42&q=a+b%2Bc", "HTTP/1.1"}));
    EXPECT_EQ(header.method(), KR_HTTP_GET);
    EXPECT_EQ(header.direction(), 2);
    EXPECT_EQ(header.path(), "/app/page.html");
    EXPECT_EQ(header.query(), "quivoid=42&q=a+b%2Bc");
    std::string value;
    ASSERT_TRUE(header.getParameter("q", value));
    EXPECT_EQ(value, "a b+c");  // "+" is a blank in a query, "%2B" a plus
    EXPECT_EQ(header.header("host"), (std::vector<std::string>{"localhost:8000"}));
    EXPECT_EQ(header.header("user-agent").at(0),
              "Mozilla/5.0(X11;Linuxx86_64)AppleWebKit/537.36(KHTML,likeGecko)Chrome/"
              "120.0.0.0Safari/537.36");
    EXPECT_EQ(
        header.rawHeader("user-agent").at(0),
        "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
        "Safari/537.36");
    EXPECT_EQ(header.rawHeader("host").at(0), "localhost:8000");
    EXPECT_EQ(Unread(header.body()), "");
}

TEST(KrXHeaderRead, RawValuesKeepInnerBlanksAndStayAligned) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(Feed(header,
                   "GET / HTTP/1.1\r\nX-A: one\r\nX-A:  two words  \r\nX-A: three\r\n"
                   "Authorization: Basic dXNlcjpwdw==\r\n\r\n",
                   0)
                  .result,
              2);
    EXPECT_EQ(header.header("x-a"), (std::vector<std::string>{"one", "twowords", "three"}));
    EXPECT_EQ(header.rawHeader("x-a"), (std::vector<std::string>{"one", "two words", "three"}));
    EXPECT_EQ(header.header("authorization").at(0), "BasicdXNlcjpwdw==");
    EXPECT_EQ(header.rawHeader("authorization").at(0), "Basic dXNlcjpwdw==");
}

TEST(KrXHeaderRead, FirstLineTokens) {
    struct Row {
        const char* line;
        std::vector<std::string> tokens;
        int direction;
        int method;
    };
    const Row rows[] = {
        {"post /form HTTP/1.0", {"POST", "/form", "HTTP/1.0"}, 2, KR_HTTP_POST},
        {"HEAD / HTTP/1.1", {"HEAD", "/", "HTTP/1.1"}, 2, KR_HTTP_HEAD},
        {"HTTP/1.1 404 Not Found", {"HTTP/1.1", "404", "NOT FOUND"}, 1, KR_HTTP_POST},
        {"QUIVO/1.0 200 OK", {"QUIVO/1.0", "200", "OK"}, 1, KR_HTTP_POST},
    };
    for (const Row& row : rows) {
        KrXHeader header(KR_HTTP_POST, false, 3);
        const Fed fed = Feed(header, std::string(row.line) + "\r\n\r\n", 0);
        EXPECT_EQ(fed.result, 2) << row.line;
        EXPECT_EQ(header.header(":first:"), row.tokens) << row.line;
        EXPECT_EQ(header.direction(), row.direction) << row.line;
        EXPECT_EQ(header.method(), row.method) << row.line;
    }
}

TEST(KrXHeaderRead, FieldLines) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(Feed(header,
                   "GET / HTTP/1.1\r\nX-A:\r\nContent-Type: multipart/form-data; "
                   "boundary=X\r\nHost: localhost:2098\r\nOdd: :v\r\n\r\n",
                   0)
                  .result,
              2);
    EXPECT_EQ(header.headers().count("x-a"), 0u);
    EXPECT_EQ(header.header("content-type").at(0), "multipart/form-data;boundary=X");
    EXPECT_EQ(header.header("host").at(0), "localhost:2098");
    EXPECT_EQ(header.header("odd").at(0), "v");
}

TEST(KrXHeaderRead, CRAtTheEndStaysUnreadUntilTheNextByte) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    int calls = 0;
    auto hook = [&calls](KrXHeader&) { return ++calls > 0; };
    header.body().sputn("GET / HTTP/1.1\r\nHost: a\r", 24);
    EXPECT_EQ(header.read(hook), 0);
    EXPECT_EQ(Unread(header.body()), "\r");
    header.body().sputn("\n\r\n", 3);
    EXPECT_EQ(header.read(hook), 2);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(header.header("host").at(0), "a");
}

TEST(KrXHeaderRead, FramingDecidesStatusAndWhetherTheConnectionStays) {
    // Every way of framing a request that two readers could take apart
    // differently is refused; the forms HTTP/1.1 allows are read as sent.
    struct Row {
        const char* name;
        std::string bytes;
        unsigned long status;  // 0: read whole (result 2)
        bool staysOpen;
        std::string target = "";  // as the first line's tokens keep it
        std::string body = "";
    };
    const std::string post = "POST /f HTTP/1.1\r\n";
    const Row rows[] = {
        // A line ends at CR LF alone: a bare LF hides the field behind it
        // from a reader that takes it as part of the line, or ends the head
        // early for one that takes it as a line end.
        {"bare LF line ends", "GET /a HTTP/1.1\nHost: x\n\n", 400, false},
        {"bare LF in a field line", post + "X: y\nContent-Length: 2\r\n\r\nab", 400, false},
        {"bare LF ends the head", post + "X: y\n\nContent-Length: 2\r\n\r\nab", 400, false},
        {"absolute-form target", "GET http://127.0.0.1:8000/a.txt?x=1 HTTP/1.1\r\n\r\n", 0, true,
         "/a.txt?x=1"},
        {"absolute-form without a path", "GET HTTP://host:8000 HTTP/1.1\r\n\r\n", 0, true, "/"},
        {"absolute-form with a query only", "GET https://host?x=1 HTTP/1.1\r\n\r\n", 0, true,
         "/?x=1"},
        {"absolute-form without a host", "GET http:///a.txt HTTP/1.1\r\n\r\n", 400, false},
        {"close in any case", "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", 0, false, "/"},
        {"close in a list", "GET / HTTP/1.1\r\nConnection: keep-alive, CLOSE\r\n\r\n", 0, false},
        {"close in a second field", "GET / HTTP/1.1\r\nConnection: x\r\nConnection: close\r\n\r\n",
         0, false},
        {"close inside a token", "GET / HTTP/1.1\r\nConnection: closed, unclose\r\n\r\n", 0, true},
        {"close with a blank inside", "GET / HTTP/1.1\r\nConnection: clo se\r\n\r\n", 0, true},
        {"HTTP/1.0", "GET / HTTP/1.0\r\n\r\n", 0, false},
        {"HTTP/1.0 keep-alive", "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 0, true},
        {"later HTTP/1 minor version", "GET / HTTP/1.2\r\n\r\n", 0, true},
        {"HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", 505, false},
        {"HTTP/0.9", "GET / HTTP/0.9\r\n\r\n", 505, false},
        {"not HTTP", "GET / FOO/1.1\r\n\r\n", 400, false},
        {"no minor version", "GET / HTTP/1\r\n\r\n", 400, false},
        {"no version", "GET /\r\n\r\n", 400, false},
        {"text behind the version", "GET / HTTP/1.1 x\r\n\r\n", 400, false},
        // The request line is three words between single spaces: a blank
        // elsewhere makes a front end route another target.
        {"tab inside the target", "GET /ech\to.php HTTP/1.1\r\n\r\n", 400, false},
        {"tab inside the query", "GET /?a\tb HTTP/1.1\r\n\r\n", 400, false},
        {"tab inside the method", "GE\tT / HTTP/1.1\r\n\r\n", 400, false},
        {"tab inside the version", "GET / HTTP/\t1.1\r\n\r\n", 400, false},
        {"tab between the words", "GET\t/ HTTP/1.1\r\n\r\n", 400, false},
        {"blank before the method", " GET / HTTP/1.1\r\n\r\n", 400, false},
        {"tab before the method", "\tGET / HTTP/1.1\r\n\r\n", 400, false},
        {"two spaces between the words", "GET  / HTTP/1.1\r\n\r\n", 400, false},
        {"blank behind the version", "GET / HTTP/1.1 \r\n\r\n", 400, false},
        {"vertical tab in the target", "GET /a\vb HTTP/1.1\r\n\r\n", 400, false},
        {"DEL in the target", "GET /a\x7f HTTP/1.1\r\n\r\n", 400, false},
        {"lower-case method and version", "get / http/1.1\r\n\r\n", 0, true, "/"},
        {"length with blanks around", post + "Content-Length:  2 \r\n\r\nab", 0, true, "/f", "ab"},
        {"length with a blank inside", post + "Content-Length: 1 0\r\n\r\n0123456789", 400, false},
        {"blank before the colon", post + "Content-Length : 2\r\n\r\nab", 400, false},
        {"blank inside the name", post + "Content- Length: 2\r\n\r\nab", 400, false},
        {"tab before the colon", post + "Host\t: x\r\n\r\n", 400, false},
        {"continuation line", post + "X: y\r\n Content-Length: 2\r\n\r\nab", 400, false},
        {"continuation by tab", post + "X: y\r\n\tz\r\n\r\n", 400, false},
        {"field without a name", post + ":Content-Length: 2\r\n\r\nab", 400, false},
        {"line without a colon", post + "Content-Length 2\r\n\r\nab", 400, false},
        {"control byte in a name", post + "Transfer-Encoding\x01: chunked\r\n\r\n", 400, false},
        {"separators in a name", post + "X(Y): 1\r\n\r\n", 400, false},
        {"at sign in a name", post + "X@Y: 1\r\n\r\n", 400, false},
        {"bracket in a long name", post + "X-Long-Field[1]-Name: 1\r\n\r\n", 400, false},
        {"byte above 0x7f in a long name", post + "X-Long-Field\xe9-Name: 1\r\n\r\n", 400, false},
        {"every token character in a name", post + "!#$%&'*+-.^_`|~09azAZ: 1\r\n\r\n", 0, true,
         "/f"},
        {"empty length", post + "Content-Length:\r\n\r\nGET / HTTP/1.1\r\n\r\n", 400, false},
        {"length of blanks only", post + "Content-Length:  \t\r\n\r\nab", 400, false},
        {"control byte in a value", post + "X: a\x01b\r\n\r\n", 400, false},
        {"escape in a value", post + "X: a\x1b[2Jb\r\n\r\n", 400, false},
        {"DEL in a value", post + "X: a\x7f\r\n\r\n", 400, false},
        {"tab and bytes above 0x7f in a value",
         post + "X: a\tb \xe9\xff~\xff~\xff~\xff~\xff~\xff~ \x80\r\n\r\n", 0, true, "/f"},
        {"control byte in the target", "GET /a\x01 HTTP/1.1\r\n\r\n", 400, false},
        {"CR inside a value", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", 400, false},
        {"CR as the line end", "GET / HTTP/1.1\rHost: x\r\r", 400, false},
        {"NUL in a value", std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 25), 400, false},
        {"NUL in the target", std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21), 400, false},
        {"lengths differ", post + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nab", 400, false},
    };
    for (const Row& row : rows) {
        for (size_t step : {size_t{0}, size_t{1}}) {
            KrXHeader header(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
            const Fed fed = Feed(header, row.bytes, step);
            EXPECT_EQ(fed.result, row.status == 0 ? KR_READ_COMPLETE : KR_READ_REFUSED)
                << row.name << " step " << step;
            EXPECT_EQ(header.refusalStatus(), row.status) << row.name;
            EXPECT_EQ(header.closeAfter(), !row.staysOpen) << row.name;
            if (row.status == 0) {
                if (!row.target.empty()) {
                    EXPECT_EQ(header.header(":first:").at(1), row.target) << row.name;
                    EXPECT_EQ(header.path(), row.target.substr(0, row.target.find('?')))
                        << row.name;
                }
                EXPECT_EQ(Unread(header.body()), row.body) << row.name;
                continue;
            }
            // The answer names the status in words the status table has.
            std::unique_ptr<KrXHeader> answer(header.makeRefusal());
            std::ostringstream head;
            ASSERT_TRUE(answer->write(head)) << row.name;
            EXPECT_EQ(
                head.str().substr(0, head.str().find("\r\n")),
                "HTTP/1.1 " + std::to_string(row.status) + " " + KrHttpStatusTexts().at(row.status))
                << row.name;
        }
    }
}

TEST(KrXHeaderRead, ChunkedAnswersAreReadWhole) {
    struct Row {
        const char* name;
        std::string chunks;  // behind the answer's head
        unsigned long status;
        std::string body;
        std::string pipelined = "";
    };
    const Row rows[] = {
        {"sizes, extension and trailer", "5\r\nhello\r\n6;x=\"a b\"\r\n world\r\n0\r\nT: t\r\n\r\n",
         0, "hello world"},
        {"upper-case size, bare LF ends", "A\n0123456789\n0\n\n", 0, "0123456789"},
        {"CR LF inside the data", "4\r\n\r\n\r\n\r\n0\r\n\r\n", 0, "\r\n\r\n"},
        {"no data", "0\r\n\r\n", 0, ""},
        {"bytes behind the last chunk", "1\r\nx\r\n0\r\n\r\nHTTP/1.1", 0, "x", "HTTP/1.1"},
        {"no size", "\r\nx\r\n0\r\n\r\n", 400, ""},
        {"not hexadecimal", "5g\r\nhello\r\n0\r\n\r\n", 400, ""},
        {"data longer than its size", "5\r\nhello!\r\n0\r\n\r\n", 400, ""},
        {"CR alone after the size", "5\rhello\r\n0\r\n\r\n", 400, ""},
        {"size of sixteen digits", "1000000000000000\r\n", 413, ""},
        {"past the body limit", "400\r\n", 413, ""},
    };
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    for (const Row& row : rows) {
        // A length beside the coding does not count.
        for (const std::string& more : {std::string(), std::string("Content-Length: 3\r\n")}) {
            for (size_t step : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
                KrXHeader header(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
                header.setMaxBodyLength(1000);
                const Fed fed = Feed(header, head + more + "\r\n" + row.chunks, step);
                EXPECT_EQ(fed.result, row.status == 0 ? KR_READ_COMPLETE : KR_READ_REFUSED)
                    << row.name << " step " << step;
                EXPECT_EQ(header.refusalStatus(), row.status) << row.name << " step " << step;
                if (row.status != 0)
                    continue;
                if (row.pipelined.empty()) {
                    EXPECT_EQ(fed.earlyCompletions, 0) << row.name << " step " << step;
                }
                EXPECT_EQ(Unread(header.body()), row.body) << row.name << " step " << step;
                EXPECT_EQ(header.isComplete(), 2) << row.name;
                EXPECT_EQ(header.takePipelined(), row.pipelined) << row.name << " step " << step;
            }
        }
    }
    // Only chunked coding frames an answer's body; a request's is not read.
    KrXHeader gzip(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
    EXPECT_EQ(Feed(gzip, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", 0).result,
              KR_READ_REFUSED);
    EXPECT_EQ(gzip.refusalStatus(), 501u);
    KrXHeader request(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
    EXPECT_EQ(
        Feed(request, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 0).result,
        KR_READ_REFUSED);
    EXPECT_EQ(request.refusalStatus(), 501u);
}

TEST(KrXHeaderRead, BodyLengthDecidesCompletion) {
    const std::string head = "POST /f HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    KrXHeader header(KR_HTTP_POST, false, 3);
    EXPECT_EQ(Feed(header, head + "abc", 0).result, 0);
    EXPECT_EQ(Feed(header, "de", 0).result, 2);
    EXPECT_EQ(Unread(header.body()), "abcde");
    EXPECT_EQ(header.takePipelined(), "");
}

TEST(KrXHeaderRead, PipelinedRequestsAreKeptForTheNextHeader) {
    const std::string first = "POST /f HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde";
    const std::string second = "GET /two HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string third = "GET /three HTTP/1.1\r\n\r\n";
    for (size_t step : {size_t{0}, size_t{1}, size_t{7}}) {
        std::string pending = first + second + third;
        std::vector<std::string> paths;
        std::vector<std::string> bodies;
        while (!pending.empty()) {
            KrXHeader header(KR_HTTP_POST, false, 3);
            ASSERT_EQ(Feed(header, pending, step).result, 2) << step;
            paths.push_back(header.path());
            bodies.push_back(Unread(header.body()));
            pending = header.takePipelined();
        }
        EXPECT_EQ(paths, (std::vector<std::string>{"/f", "/two", "/three"})) << step;
        EXPECT_EQ(bodies, (std::vector<std::string>{"abcde", "", ""})) << step;
    }
}

TEST(KrXHeaderRead, EmptyLinesBeforeTheRequestLineAreSkipped) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    EXPECT_EQ(Feed(header, "\r\n\r\nGET /x HTTP/1.1\r\n\r\n", 1).result, 2);
    EXPECT_EQ(header.path(), "/x");
}

TEST(KrXHeaderRead, RefusalsCarryTheirStatusAndClose) {
    const std::string longLine(KrXHeader::kMaxLineLength + 1, 'a');
    std::string manyFields = "GET / HTTP/1.1\r\n";
    for (size_t i = 0; i <= KrXHeader::kMaxFieldCount; ++i)
        manyFields += "X-" + std::to_string(i) + ": v\r\n";
    std::string longHead = "GET / HTTP/1.1\r\n";
    while (longHead.size() <= KrXHeader::kMaxHeadLength)
        longHead += "X: " + std::string(8000, 'v') + "\r\n";
    struct Row {
        const char* name;
        std::string bytes;
        unsigned long status;
    };
    const Row rows[] = {
        {"long request line", "GET /" + longLine + " HTTP/1.1\r\n\r\n", 400},
        {"long request line unfinished", "GET /" + longLine, 400},
        {"long field line", "GET / HTTP/1.1\r\nX: " + longLine + "\r\n\r\n", 431},
        {"too many fields", manyFields + "\r\n", 431},
        {"long head", longHead + "\r\n", 431},
        {"length with sign", "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\nabcde", 400},
        {"length in hex", "POST / HTTP/1.1\r\nContent-Length: 0x5\r\n\r\n", 400},
        {"length of twenty digits",
         "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", 400},
        {"lengths disagree",
         "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcde", 400},
        {"length list", "POST / HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\nabcde", 400},
        {"body over the limit", "POST / HTTP/1.1\r\nContent-Length: 67108865\r\n\r\n", 413},
        {"chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n\r\n",
         501},
        {"unknown method", "PUT /x HTTP/1.1\r\n\r\n", 501},
        {"internal method name", "ANSWER /x HTTP/1.1\r\n\r\n", 501},
        {"not a request", "FOO\r\n\r\n", 400},
        {"binary garbage", std::string("\x16\x03\x01\x02\x00 \x01\r\n\r\n", 11), 400},
    };
    for (const Row& row : rows) {
        for (size_t step : {size_t{0}, size_t{1}}) {
            KrXHeader header(KR_HTTP_POST, false, 3);
            const Fed fed = Feed(header, row.bytes, step);
            EXPECT_EQ(fed.result, 1) << row.name;
            EXPECT_EQ(fed.hookCalls, 0) << row.name;
            EXPECT_EQ(header.refusalStatus(), row.status) << row.name;
            EXPECT_TRUE(header.closeAfter()) << row.name;
            int again = header.read([](KrXHeader&) { return true; });
            EXPECT_EQ(again, 1) << row.name;
            // The peer hears why, and that the connection ends.
            std::unique_ptr<KrXHeader> answer(header.makeRefusal());
            std::ostringstream head;
            ASSERT_TRUE(answer->write(head)) << row.name;
            EXPECT_EQ(head.str().substr(0, 13), "HTTP/1.1 " + std::to_string(row.status) + " ")
                << row.name;
            EXPECT_NE(head.str().find("\r\nConnection: close\r\n\r\n"), std::string::npos)
                << row.name;
        }
    }
}

TEST(KrXHeaderRead, EqualRepeatedLengthsAndTheConfiguredLimitAreAccepted) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    EXPECT_EQ(
        Feed(header, "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", 0)
            .result,
        2);
    KrXHeader limited(KR_HTTP_POST, false, 3);
    limited.setMaxBodyLength(3);
    EXPECT_EQ(Feed(limited, "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 0).result, 2);
    KrXHeader over(KR_HTTP_POST, false, 3);
    over.setMaxBodyLength(3);
    EXPECT_EQ(Feed(over, "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\n", 0).result, 1);
    EXPECT_EQ(over.refusalStatus(), 413u);
}

TEST(KrXHeaderRead, HookThatSaysNoRefusesWithoutStatus) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    header.body().sputn("GET / HTTP/1.1\r\n\r\n", 18);
    EXPECT_EQ(header.read([](KrXHeader&) { return false; }), 1);
    EXPECT_EQ(header.refusalStatus(), 0u);
}

TEST(KrXHeaderRead, AnswerWithoutLengthKeepsEverythingAsBody) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    EXPECT_EQ(Feed(header, "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nhello", 0).result, 2);
    EXPECT_EQ(Unread(header.body()), "hello");
}

TEST(KrXHeaderRead, FieldsChangedByCallersAreWhatEveryAccessorSees) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(Feed(header, KrHttpSamples()[0].bytes, 0).result, 2);
    header.header("host").front() = "example.org";
    header.addHeader("x-added", "1");
    header.header("referer").clear();
    std::unique_ptr<KrXHeader> answer(header.makeResponse());
    EXPECT_EQ(answer->requestHeader("host"), (std::vector<std::string>{"example.org"}));
    EXPECT_EQ(answer->requestHeader("x-added"), (std::vector<std::string>{"1"}));
    EXPECT_TRUE(answer->requestHeader("referer").empty());
    EXPECT_EQ(answer->requestHeader("sec-fetch-mode"), (std::vector<std::string>{"navigate"}));
    EXPECT_EQ(answer->requestLine(), "GET /app/page.html?quivoid=42&q=a+b%2Bc");

    const KrHeaderFieldMap& all = header.headers();
    EXPECT_EQ(all.size(), 17u);  // 15 fields, ":first:" and the added one
    EXPECT_EQ(all.at("host"), (std::vector<std::string>{"example.org"}));
    EXPECT_TRUE(all.at("referer").empty());
    EXPECT_EQ(header.rawHeader("accept-encoding").at(0), "gzip, deflate, br");
    // The answer took its own copy: the request's later changes stay out.
    header.header("sec-fetch-mode").clear();
    EXPECT_EQ(answer->requestHeader("sec-fetch-mode"), (std::vector<std::string>{"navigate"}));
}

TEST(KrXHeaderRead, FieldsAskedForBeforeTheHeadEndsGetTheRestToo) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    ASSERT_EQ(Feed(header, "GET / HTTP/1.1\r\nX-A: one\r\n", 0).result, 0);
    EXPECT_EQ(header.header("x-a"), (std::vector<std::string>{"one"}));
    std::unique_ptr<KrXHeader> early(header.makeResponse());
    ASSERT_EQ(Feed(header, "X-A: two words\r\nX-B: b\r\n\r\n", 1).result, 2);
    EXPECT_EQ(header.header("x-a"), (std::vector<std::string>{"one", "twowords"}));
    EXPECT_EQ(header.rawHeader("x-a"), (std::vector<std::string>{"one", "two words"}));
    EXPECT_EQ(header.header("x-b"), (std::vector<std::string>{"b"}));
    // An answer made then saw the head as it was.
    EXPECT_EQ(early->requestHeader("x-a"), (std::vector<std::string>{"one"}));
    EXPECT_TRUE(early->requestHeader("x-b").empty());
}

TEST(KrXHeaderRead, NamesAndValuesOfEveryLengthAndBlankPosition) {
    // Names and values are scanned a word at a time: each length, and a blank
    // or capital at each position, must come out as a byte-wise reading would.
    for (size_t length = 1; length <= 20; ++length) {
        for (size_t at = 0; at < length; ++at) {
            std::string name(length, 'n');
            name[at] = 'N';
            std::string value(length, 'v');
            value[at] = at == 0 || at + 1 == length ? 'x' : '\t';
            std::string lowered(length, 'n');
            std::string clean = value;
            std::erase(clean, '\t');
            KrXHeader header(KR_HTTP_POST, false, 3);
            ASSERT_EQ(Feed(header, "GET / HTTP/1.1\r\n" + name + ": " + value + "\r\n\r\n", 0).result,
                      2);
            EXPECT_EQ(header.header(lowered), std::vector<std::string>{clean}) << name << value;
            EXPECT_EQ(header.rawHeader(lowered), std::vector<std::string>{value}) << name << value;
        }
    }
}

namespace {

// A server's POST head for a body of `length` bytes.
std::string PostHead(size_t length, const std::string& extra = "") {
    return "POST /up HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream\r\n" + extra +
           "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

// Bytes that show a piece written twice, dropped or out of place.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return bytes;
}

}  // namespace

TEST(KrXHeaderRead, AServersLargeBodyGoesToAnUnnamedFileAndWhatFollowsToTheNextRequest) {
    const TemporaryFolder folder;
    const std::string next = "GET /next HTTP/1.1\r\nHost: x\r\n\r\n";
    const size_t limit = KrXHeader::kMaxBodyInMemory;
    struct Row {
        size_t length;
        bool inFile;
    };
    const Row rows[] = {{0, false}, {limit, false}, {limit + 1, true}, {(1u << 20) + 3, true}};
    for (const Row& row : rows) {
        const std::string body = Pattern(row.length);
        const std::string bytes = PostHead(row.length) + body + next;
        // Whole, in pieces smaller than the limit and larger than it.
        for (const size_t step : {bytes.size(), size_t{4096}, size_t{70001}}) {
            SCOPED_TRACE(std::to_string(row.length) + " bytes in pieces of " +
                         std::to_string(step));
            KrXHeader header(KR_HTTP_POST, false, 3);
            header.keepBodyInFilePast(limit);
            int result = 0;
            uint64_t mostHeld = 0;
            for (size_t at = 0; at < bytes.size() && result != 1; at += step) {
                const size_t n = std::min(step, bytes.size() - at);
                header.body().sputn(bytes.data() + at, static_cast<std::streamsize>(n));
                result = header.read([](KrXHeader&) { return true; });
                ASSERT_TRUE(result == 0 || at + n == bytes.size()) << "complete early at " << at;
                if (row.inFile)
                    mostHeld = std::max(mostHeld, header.body().Length());
            }
            ASSERT_EQ(result, 2);
            EXPECT_EQ(header.isComplete(), 2);
            EXPECT_EQ(header.takePipelined(), next);
            if (!row.inFile) {
                EXPECT_EQ(header.bodyFile(), nullptr);
                EXPECT_EQ(Unread(header.body()), body);
                continue;
            }
            ASSERT_NE(header.bodyFile(), nullptr);
            EXPECT_EQ(Unread(header.body()), "");
            EXPECT_EQ(FileText(*header.bodyFile()), body);
            EXPECT_EQ(folder.entries(), 0u);
            // Never more than the limit and one piece waits in memory.
            EXPECT_LE(mostHeld, std::min<uint64_t>(limit + step, bytes.size())) << mostHeld;
        }
    }
}

TEST(KrXHeaderRead, ABodyThatCannotBeKeptIsRefusedWith503BeforeItComes) {
    const TemporaryFolder folder;
    const std::string missing = folder.path + "/gone";
    ::setenv("TMPDIR", missing.c_str(), 1);
    // A body the memory takes needs no file.
    KrXHeader small(KR_HTTP_POST, false, 3);
    small.keepBodyInFilePast(KrXHeader::kMaxBodyInMemory);
    const std::string fits = PostHead(KrXHeader::kMaxBodyInMemory) + Pattern(KrXHeader::kMaxBodyInMemory);
    small.body().sputn(fits.data(), static_cast<std::streamsize>(fits.size()));
    EXPECT_EQ(small.read([](KrXHeader&) { return true; }), 2);

    KrXHeader header(KR_HTTP_POST, false, 3);
    header.keepBodyInFilePast(KrXHeader::kMaxBodyInMemory);
    const std::string head = PostHead(1 << 20, "Expect: 100-continue\r\n");
    header.body().sputn(head.data(), static_cast<std::streamsize>(head.size()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(header.read([](KrXHeader&) { return true; }), 1);
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(header.refusalStatus(), 503u);
    EXPECT_TRUE(header.closeAfter());
    EXPECT_EQ(header.bodyFile(), nullptr);
    EXPECT_EQ(told,
              "request \"POST /up\": the temporary file for its body of 1048576 bytes cannot be "
              "made in " + missing + " (No such file or directory): answered 503\n");
    std::unique_ptr<KrXResponseHeader> answer(header.makeRefusal());
    std::ostringstream written;
    ASSERT_TRUE(answer->write(written));
    const std::string text = written.str() + Unread(answer->body());
    EXPECT_EQ(text.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << text;
    for (const char* field : {"\r\nRetry-After: 5\r\n", "\r\nConnection: close\r\n",
                              "\r\nContent-Type: text/html; charset=utf-8\r\n", "try again"})
        EXPECT_NE(text.find(field), std::string::npos) << field << "\n" << text;
}

// Reads a 1 MiB body under a file size limit that makes its temporary
// file's writes fail part way, as a full disk does: the exit status 0 when
// it was refused with 503 and no file was left. For a child only: it makes
// the body's folder and removes it before it exits, since nothing else runs
// after its exit to remove it.
void ReadPastTheFileSizeLimit() {
    bool refused = false;
    {
        const TemporaryFolder folder;
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{200 * 1024, 200 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &small);
        KrXHeader header(KR_HTTP_POST, false, 3);
        header.keepBodyInFilePast(KrXHeader::kMaxBodyInMemory);
        const std::string bytes = PostHead(1 << 20) + Pattern(1 << 20);
        int result = 0;
        for (size_t at = 0; at < bytes.size() && result == 0; at += 32768) {
            const size_t n = std::min<size_t>(32768, bytes.size() - at);
            header.body().sputn(bytes.data() + at, static_cast<std::streamsize>(n));
            result = header.read([](KrXHeader&) { return true; });
        }
        refused = result == 1 && header.refusalStatus() == 503 && !header.bodyFile() &&
                  folder.entries() == 0;
    }
    // Without the exit handlers, which the forked copy of this process cannot run.
    std::fflush(stderr);
    ::_exit(refused ? 0 : 1);
}

TEST(KrXHeaderRead, ABodyWhoseFileFailsPartWayIsRefusedWith503NeverPassedOnCut) {
    // The child runs this test alone in a fresh copy of the program.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReadPastTheFileSizeLimit(), ::testing::ExitedWithCode(0),
                "cannot be written in .*File too large.*answered 503");
}
