// Feeds bytes to the HTTP reader in segments that the input chooses, parses
// the bodies, writes answers (with a CGI head lifted from the body), follows
// pipelined requests, and checks that reading the same bytes whole gives the
// same result, and that a field or parameter read on its own agrees with the
// whole map read later; bytes behind a complete message keep arriving, as
// they do on a connection. Input: one byte n, then n segment lengths (cycled), then the
// bytes of the connection.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

struct Outcome {
    int result = KR_READ_MORE;
    std::string summary;
    std::string pipelined;
};

Outcome ReadMessage(const std::string& bytes, const uint8_t* steps, size_t stepCount) {
    KrXHeader header(KR_HTTP_POST, false, KR_PROTOCOL_HTTP);
    header.setMaxBodyLength(1 << 20);
    auto hook = [](KrXHeader&) { return true; };
    Outcome outcome;
    size_t at = 0;
    size_t turn = 0;
    do {
        size_t n = bytes.size() - at;
        if (stepCount != 0)
            n = std::min<size_t>(n, steps[turn++ % stepCount] + 1u);
        header.body().sputn(bytes.data() + at, static_cast<std::streamsize>(n));
        at += n;
        outcome.result = header.read(hook);
    } while (outcome.result != KR_READ_REFUSED && at < bytes.size());

    outcome.summary = std::to_string(outcome.result) + " " +
                      std::to_string(header.refusalStatus()) + " " + header.path() + " " +
                      header.query();
    const std::vector<std::string> host = header.header("host");
    for (const auto& [name, values] : header.headers()) {
        for (const std::string& value : values)
            outcome.summary += "\n" + name + ":" + value;
    }
    if (header.headers()["host"] != host)
        std::abort();
    std::unique_ptr<KrXHeader> answer;
    if (outcome.result == KR_READ_COMPLETE) {
        outcome.summary += " body " + std::to_string(header._parseBody());
        std::string early;
        const bool hadA = header.getParameter("a", early);
        for (auto& [name, block] : header.parameters())
            outcome.summary += "\n" + name + "=" + block->text();
        std::string late;
        if (header.getParameter("a", late) != hadA || late != early)
            std::abort();
        answer.reset(header.makeResponse());
        std::string content;
        header.body().CopyOut(content, 0, header.body().Length());
        answer->setContent(content);
        answer->setLiftCGIHead();
    } else if (outcome.result == KR_READ_REFUSED) {
        answer.reset(header.makeRefusal());
    }
    if (answer) {
        std::ostringstream out;
        answer->write(out);
        outcome.summary += "\n" + out.str();
    }
    // Bytes not fed yet follow those the reader kept.
    outcome.pipelined = header.takePipelined() + bytes.substr(at);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t stepCount = std::min<size_t>(data[0] % 16, size - 1);
    const uint8_t* steps = data + 1;
    std::string bytes(reinterpret_cast<const char*>(data + 1 + stepCount), size - 1 - stepCount);
    for (int message = 0; message < 8 && !bytes.empty(); ++message) {
        const Outcome split = ReadMessage(bytes, steps, stepCount);
        const Outcome whole = ReadMessage(bytes, nullptr, 0);
        if (split.summary != whole.summary ||
            (split.result == KR_READ_COMPLETE && split.pipelined != whole.pipelined))
            std::abort();
        if (split.result != KR_READ_COMPLETE)
            break;
        bytes = split.pipelined;
    }
    return 0;
}
