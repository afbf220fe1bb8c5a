// Reader throughput: a generated XML storage file and an HTML page with a
// style sheet, 1 MB and 10 MB each, read by this reader and by libxml2 in
// one process, in turns (one read of each per round, after a read of each
// to warm up), on a heap that keeps what is freed (no trimming), so that
// both readers find warm pages and each gets its best of the rounds.
// Prints MB/s for each, their ratio, and how the 10 MB time
// scales against the 1 MB time, and the heap a parsed tree holds: as a
// multiple of the input size (libxml2's beside it) and per node, counting
// the node pool by its mappings and by its slots in use. Then one
// element with 100,000 attributes in scrambled name order, as generated or
// hostile markup brings them.

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "document/KrNodePool.h"
#include "document/KrXMLComplexElement.h"
#include "html/KrDocumentReader.h"

#ifdef QUIVO_HAVE_LIBXML2
#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#endif

namespace {

std::string MakeStorage(size_t bytes) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xmldocument>\n";
    for (size_t project = 0; text.size() < bytes; ++project) {
        text += "<project name=\"project" + std::to_string(project) + "\" created=\"2024-01-0" +
                std::to_string(project % 9 + 1) + "\">\n<options>\n";
        for (int i = 0; i < 8; ++i) {
            text += "<option key=\"key" + std::to_string(i) + "\" value=\"value " +
                    std::to_string(project * 8 + i) + "\"/>\n";
        }
        text += "</options>\n<stringvariables>\n";
        for (int i = 0; i < 8; ++i) {
            text += "<stringvariable name=\"var" + std::to_string(i) +
                    "\">some text of the variable [[name]] number " + std::to_string(i) +
                    "</stringvariable>\n";
        }
        text += "</stringvariables>\n<!-- end of project -->\n</project>\n";
    }
    return text + "</xmldocument>\n";
}

std::string MakePage(size_t bytes) {
    std::string text =
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Bench</title>\n"
        "<style type=\"text/css\">\n";
    for (int i = 0; i < 200; ++i) {
        std::string n = std::to_string(i);
        text += "div.c" + n + " { color: #" + std::to_string(100 + i % 800) + "; margin: 0 " + n +
                "px; background: url(img" + n + ".png) }\n";
        if (i % 20 == 0) {
            text += "@media screen {\n  p.m" + n + " { padding: 1px; }\n}\n";
        }
    }
    text += "</style>\n</head>\n<body>\n";
    for (size_t row = 0; text.size() < bytes; ++row) {
        std::string n = std::to_string(row);
        text += "<div class=\"c" + std::to_string(row % 200) + "\" id=\"d" + n + "\"><p>Row " + n +
                " holds some words of text and a <b>bold</b> part<br>and a line.</p>\n"
                "<form action=\"/go\" method=\"POST\"><input name=\"f" +
                n + "\" type=\"text\" value=\"v\"><input disabled type=\"submit\"></form></div>\n";
    }
    return text + "</body>\n</html>\n";
}

template <class Parse>
double Seconds(Parse parse) {
    auto start = std::chrono::steady_clock::now();
    parse();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

template <class Parse>
double BestSeconds(int runs, Parse parse) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, Seconds(parse));
    return best;
}

// Bytes the allocator has handed out and not taken back, with the node
// pool's mappings (they do not pass through malloc): whole 2 MiB mappings
// count once a node is in them.
size_t HeapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd + KrNodePool::BytesHeld();
}

// The same with the node pool's slots in use instead of its mappings, the
// measure the allocator's figure is (and libxml2's, whose nodes come from
// malloc): it leaves out the free room of partly used slabs and mappings,
// which mappings left by earlier trees make vary from run to run.
size_t SlotsInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd + KrNodePool::BytesInUse();
}

size_t CountNodes(const KrXMLComplexElement* element) {
    size_t count = 1;
    for (const KrXMLComplexElement* child : element->GetChildren()) {
        count += CountNodes(child);
    }
    return count;
}

// Heap held by one parsed tree of `text`, and its node count.
struct TreeHeap {
    size_t bytes = 0;
    size_t slotBytes = 0;
    size_t nodes = 0;
};

TreeHeap MeasureOurs(const std::string& text, const char* dtd) {
    const size_t before = HeapInUse();
    const size_t slotsBefore = SlotsInUse();
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> tree(
        KrDocumentReader().ParseString(text, 0, &end, dtd, error, 0));
    TreeHeap heap;
    heap.bytes = HeapInUse() - before;
    heap.slotBytes = SlotsInUse() - slotsBefore;
    heap.nodes = tree ? CountNodes(tree.get()) : 1;
    return heap;
}

double Mbps(size_t bytes, double seconds) {
    return bytes / 1e6 / seconds;
}

// One read of `text` into a tree and its deletion.
void ReadOurs(const std::string& text, const char* dtd) {
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> tree(
        KrDocumentReader().ParseString(text, 0, &end, dtd, error, 0));
    if (!tree) {
        std::fprintf(stderr, "reader failed: %s\n", error.c_str());
    }
}

std::string MakeManyAttributes(size_t count) {
    std::string text = "<xmldocument><item";
    for (size_t i = 0; i < count; ++i) {
        text += " a" + std::to_string((i * 7919) % count) + "=\"" + std::to_string(i) + "\"";
    }
    return text + " /></xmldocument>\n";
}

#ifdef QUIVO_HAVE_LIBXML2
// The same with libxml2.
void ReadLibxml2(const std::string& text, bool html) {
    xmlDocPtr doc = html ? htmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.html",
                                          "UTF-8", HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING)
                         : xmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.xml",
                                         "UTF-8", XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) {
        std::fprintf(stderr, "libxml2 failed\n");
    }
    xmlFreeDoc(doc);
}

size_t MeasureLibxml2(const std::string& text, bool html) {
    const size_t before = HeapInUse();
    xmlDocPtr doc = html ? htmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.html",
                                          "UTF-8", HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING)
                         : xmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.xml",
                                         "UTF-8", XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    const size_t bytes = HeapInUse() - before;
    xmlFreeDoc(doc);
    return bytes;
}
#endif

}  // namespace

int main() {
    // Freed memory stays with the process, so neither reader pays for fresh
    // pages because the other one's tree was just given back.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    struct Input {
        const char* name;
        const char* dtd;
        bool html;
        std::string (*make)(size_t);
    };
    const Input inputs[] = {{"xml storage", "xml", false, MakeStorage},
                            {"html page", "html", true, MakePage}};
    for (const Input& input : inputs) {
        double oursSeconds[2] = {0, 0};
        int index = 0;
        for (size_t megabytes : {1, 10}) {
            std::string text = input.make(megabytes * 1000 * 1000);
            const int rounds = megabytes == 1 ? 10 : 5;
            const auto ours = [&] { ReadOurs(text, input.dtd); };
            double best = 1e9;
#ifdef QUIVO_HAVE_LIBXML2
            const auto theirs = [&] { ReadLibxml2(text, input.html); };
            double theirBest = 1e9;
            theirs();
#endif
            ours();
            for (int round = 0; round < rounds; ++round) {
                best = std::min(best, Seconds(ours));
#ifdef QUIVO_HAVE_LIBXML2
                theirBest = std::min(theirBest, Seconds(theirs));
#endif
            }
            oursSeconds[index++] = best;
            std::printf("%-12s %2zu MB  quivo %8.1f MB/s", input.name, megabytes,
                        Mbps(text.size(), best));
#ifdef QUIVO_HAVE_LIBXML2
            std::printf("  libxml2 %8.1f MB/s  quivo/libxml2 %.2f", Mbps(text.size(), theirBest),
                        theirBest / best);
#endif
            std::printf("\n");
            const TreeHeap heap = MeasureOurs(text, input.dtd);
            std::printf(
                "%-12s %2zu MB  heap quivo %5.1fx input (slots in use %4.1fx), %zu nodes, "
                "%.0f bytes/node (%.0f)",
                input.name, megabytes, static_cast<double>(heap.bytes) / text.size(),
                static_cast<double>(heap.slotBytes) / text.size(), heap.nodes,
                static_cast<double>(heap.bytes) / heap.nodes,
                static_cast<double>(heap.slotBytes) / heap.nodes);
#ifdef QUIVO_HAVE_LIBXML2
            std::printf("  libxml2 %5.1fx input",
                        static_cast<double>(MeasureLibxml2(text, input.html)) / text.size());
#endif
            std::printf("\n");
        }
        std::printf("%-12s 10 MB time / 1 MB time: %.1f\n", input.name,
                    oursSeconds[1] / oursSeconds[0]);
    }
    const size_t attributes = 100000;
    std::string many = MakeManyAttributes(attributes);
    std::printf("one element with %zu attributes (%.1f MB): %.3f s\n", attributes,
                many.size() / 1e6, BestSeconds(3, [&] { ReadOurs(many, "xml"); }));
    return 0;
}
