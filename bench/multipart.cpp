// Multipart bodies that hostile clients send, parsed at 1, 4 and 16 MB:
// part heads made of lines without a colon, a long boundary over a body of
// dashes that almost match it, and very many tiny parts. Each body is read
// into a fresh header and parsed; prints milliseconds and MB/s per size and
// the 16 MB / 1 MB time ratio (16 for linear work). Standard error goes to
// /dev/null while parsing, so the single report per body is not timed.
//   bench_multipart

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "transport/KrXHeader.h"

namespace {

constexpr size_t kMB = 1024 * 1024;

std::string Request(const std::string& boundary, const std::string& body) {
    return "POST /up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One part whose head is `size` bytes of lines without a colon.
std::string StrayLines(size_t size, std::string& boundary) {
    boundary = "XyZ";
    std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n";
    while (body.size() < size)
        body += "x\r\n";
    return body + "\r\nabc\r\n--XyZ--\r\n";
}

// A boundary of 4000 dashes and a body of lines of dashes one shorter.
std::string NearDelimiters(size_t size, std::string& boundary) {
    boundary = std::string(4000, '-');
    const std::string line = std::string(4001, '-') + "\r\n";
    std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n";
    while (body.size() < size)
        body += line;
    return body + "--" + boundary + "--\r\n";
}

// Parts of a dozen bytes each.
std::string TinyParts(size_t size, std::string& boundary) {
    boundary = "b";
    std::string body;
    while (body.size() < size)
        body += "--b\r\nk: v\r\n\r\nx\r\n";
    return body + "--b--\r\n";
}

double ParseMillis(const std::string& request) {
    double best = 1e300;
    for (int run = 0; run < 3; ++run) {
        KrXHeader header(KR_HTTP_POST, false, 3);
        header.setMaxBodyLength(UINT64_MAX);
        header.body().sputn(request.data(), static_cast<std::streamsize>(request.size()));
        if (header.read([](KrXHeader&) { return true; }) != KR_READ_COMPLETE) {
            std::fprintf(stdout, "request not read\n");
            std::exit(1);
        }
        const auto start = std::chrono::steady_clock::now();
        const int result = header._parseBody();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        if (result != KR_READ_COMPLETE || header.refusalStatus() != 0) {
            std::fprintf(stdout, "body refused\n");
            std::exit(1);
        }
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main() {
    // Only the parser's one report per body would go there.
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0)
        ::dup2(quiet, 2);
    struct Shape {
        const char* name;
        std::function<std::string(size_t, std::string&)> make;
    };
    const Shape shapes[] = {
        {"head lines without colon", StrayLines},
        {"near-delimiter lines", NearDelimiters},
        {"tiny parts", TinyParts},
    };
    for (const Shape& shape : shapes) {
        double first = 0;
        double last = 0;
        for (const size_t mb : {size_t{1}, size_t{4}, size_t{16}}) {
            std::string boundary;
            const std::string body = shape.make(mb * kMB, boundary);
            const double ms = ParseMillis(Request(boundary, body));
            std::printf("%-26s %2zu MB: %8.1f ms  %7.1f MB/s\n", shape.name, mb, ms,
                        static_cast<double>(body.size()) / kMB / (ms / 1000));
            if (mb == 1)
                first = ms;
            last = ms;
        }
        std::printf("%-26s 16 MB / 1 MB time: %.1f\n", shape.name, last / first);
    }
    return 0;
}
