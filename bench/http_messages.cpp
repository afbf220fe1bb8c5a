// HTTP message throughput: a captured browser GET (about 600 bytes, a dozen
// header fields) and a 64 KiB urlencoded form POST, each read whole and in
// 1-byte segments into a fresh header (header creation included), its body
// parsed and read back through the accessors a server and an application use
// (the Host field, the path, parameters), so work the header puts off until
// it is asked for is counted; and a 4 KB answer made, the request fields its
// access-log line names read from it, and its head written. Prints messages
// per second (best of several runs) for each case.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"
#include "transport/tests/KrHttpSamples.h"

namespace {

std::atomic<size_t> g_sink{0};

template <class Work>
double BestRate(int runs, size_t messages, Work work) {
    double best = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        for (size_t m = 0; m < messages; ++m)
            work();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::max(best, messages / took.count());
    }
    return best;
}

void Expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "wrong result: %s\n", what);
        std::exit(1);
    }
}

// What a request must give through the accessors, read as the server and
// the application read it.
struct Expected {
    std::string host;
    std::string path;
    std::string parameter;
    std::string value;
};

// Reads one request delivered in segments of `step` bytes (0: whole).
void ReadRequest(const std::string& bytes, size_t step, const Expected& expected) {
    KrXHeader header(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
    // One hook per request, as a server keeps it for the connection's message.
    const std::function<bool(KrXHeader&)> hook = [](KrXHeader&) { return true; };
    if (step == 0)
        step = bytes.size();
    int result = KR_READ_MORE;
    for (size_t at = 0; at < bytes.size() && result == KR_READ_MORE; at += step) {
        header.body().Append(bytes.data() + at, std::min(step, bytes.size() - at));
        result = header.read(hook);
    }
    Expect(result == KR_READ_COMPLETE, "request not complete");
    Expect(!header.closeAfter(), "connection kept");
    Expect(header._parseBody() == KR_READ_COMPLETE, "body parsed");
    std::string value;
    Expect(header.getParameter(expected.parameter, value) && value == expected.value,
           "parameter");
    Expect(!header.getParameter("quivocommand", value), "absent parameter");
    Expect(header.path() == expected.path, "path");
    const std::vector<std::string>& host = header.header("host");
    Expect(host.size() == 1 && host.front() == expected.host, "host field");
    g_sink += value.size() + host.front().size();
}

std::string MakeFormBody(size_t bytes) {
    std::string body;
    for (size_t i = 0; body.size() < bytes; ++i)
        body +=
            "field" + std::to_string(i) + "=some+value+%C3%A9+number+" + std::to_string(i) + "&";
    body.resize(bytes);
    if (body.back() == '%' || body[body.size() - 2] == '%')
        body.back() = 'x';
    return body;
}

void Report(const char* what, double rate, size_t bytes) {
    std::printf("%-40s %12.0f per second  %8.1f MB/s\n", what, rate, rate * bytes / 1e6);
    std::fflush(stdout);
}

}  // namespace

int main() {
    const std::string get = KrHttpSampleBrowserGet();
    const std::string post = KrHttpSampleFormPost(MakeFormBody(64 * 1024));

    const Expected getExpected{"localhost:8000", "/app/page.html", "q", "a b+c"};
    const Expected postExpected{"localhost:8000", "/quivowidget.handler", "field1000",
                                "some value \xC3\xA9 number 1000"};

    const double getWhole = BestRate(5, 200000, [&] { ReadRequest(get, 0, getExpected); });
    Report("browser GET, whole", getWhole, get.size());
    const double getBytes = BestRate(5, 50000, [&] { ReadRequest(get, 1, getExpected); });
    Report("browser GET, 1-byte segments", getBytes, get.size());
    std::printf("%-40s %12.2f\n", "GET whole / 1-byte segments", getWhole / getBytes);

    const double postWhole = BestRate(5, 200, [&] { ReadRequest(post, 0, postExpected); });
    Report("64 KiB urlencoded POST, whole", postWhole, post.size());
    const double postBytes = BestRate(3, 50, [&] { ReadRequest(post, 1, postExpected); });
    Report("64 KiB urlencoded POST, 1-byte segments", postBytes, post.size());

    KrXHeader request(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
    request.body().sputn(get.data(), static_cast<std::streamsize>(get.size()));
    request.read([](KrXHeader&) { return true; });
    const std::string page(4000, 'x');
    const double answers = BestRate(5, 100000, [&] {
        std::unique_ptr<KrXHeader> answer(request.makeResponse());
        answer->setContent(page);
        // The access-log line names these two request fields.
        Expect(answer->requestHeader("referer").size() == 1, "referer");
        Expect(answer->requestHeader("user-agent").size() == 1, "user agent");
        KrStringBuf head;
        std::ostream out(&head);
        answer->write(out);
        g_sink += static_cast<size_t>(head.Size()) + answer->takeBody()->Length();
    });
    Report("4 KB answer made and head written", answers, page.size());
    return 0;
}
