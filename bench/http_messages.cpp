// HTTP message throughput: a captured browser GET (about 600 bytes, a dozen
// header fields) and a 64 KiB urlencoded form POST, each read whole and in
// 1-byte segments into a fresh header (header creation included), the POST's
// body parsed into parameters; and a 4 KB answer made and its head written.
// Prints messages per second (best of several runs) for each case.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

// Reads one request delivered in segments of `step` bytes (0: whole).
void ReadRequest(const std::string& bytes, size_t step, bool parseBody) {
    KrXHeader header(KR_HTTP_POST, false, 3);
    // One hook per request, as a server keeps it for the connection's message.
    const std::function<bool(KrXHeader&)> hook = [](KrXHeader&) { return true; };
    if (step == 0)
        step = bytes.size();
    int result = 0;
    for (size_t at = 0; at < bytes.size() && result == 0; at += step) {
        header.body().sputn(bytes.data() + at,
                            static_cast<std::streamsize>(std::min(step, bytes.size() - at)));
        result = header.read(hook);
    }
    if (result != 2) {
        std::fprintf(stderr, "request not complete (%d)\n", result);
        std::exit(1);
    }
    if (parseBody)
        header._parseBody();
    g_sink += header.headers().size() + header.parameters().size();
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

    const double getWhole = BestRate(5, 200000, [&] { ReadRequest(get, 0, false); });
    Report("browser GET, whole", getWhole, get.size());
    const double getBytes = BestRate(5, 50000, [&] { ReadRequest(get, 1, false); });
    Report("browser GET, 1-byte segments", getBytes, get.size());
    std::printf("%-40s %12.2f\n", "GET whole / 1-byte segments", getWhole / getBytes);

    const double postWhole = BestRate(5, 200, [&] { ReadRequest(post, 0, true); });
    Report("64 KiB urlencoded POST, whole", postWhole, post.size());
    const double postBytes = BestRate(3, 50, [&] { ReadRequest(post, 1, true); });
    Report("64 KiB urlencoded POST, 1-byte segments", postBytes, post.size());

    KrXHeader request(KR_HTTP_POST, false, 3);
    request.body().sputn(get.data(), static_cast<std::streamsize>(get.size()));
    request.read([](KrXHeader&) { return true; });
    const std::string page(4000, 'x');
    const double answers = BestRate(5, 100000, [&] {
        std::unique_ptr<KrXHeader> answer(request.makeResponse());
        answer->setContent(page);
        KrStringBuf head;
        std::ostream out(&head);
        answer->write(out);
        g_sink += static_cast<size_t>(head.Size()) + answer->takeBody()->Length();
    });
    Report("4 KB answer made and head written", answers, page.size());
    return 0;
}
