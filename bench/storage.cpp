// Application storage costs: dotted-path lookups in an application file with
// 10,000 project entries, and template expansion of a 100 KB page with 1,000
// variables against the same page ten times over. Expansion has to be linear
// in its output, so the tenfold page may take at most 11 times as long; the
// program says whether it did and fails when it did not.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/KrPersistentAppStorage.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProjects = 10000;
constexpr int kVariables = 1000;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void writeApplication(const std::string& path) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quivo>\n<bench>\n<projects>\n";
    for (int p = 0; p < kProjects; ++p) {
        const std::string name = "project" + std::to_string(p);
        text += "<project name=\"" + name + "\" projectpath=\"" + name + "\"/>\n";
    }
    text += "</projects>\n<options>\n";
    for (int o = 0; o < 20; ++o) {
        text += "<option name=\"o" + std::to_string(o) + "\" value=\"" + std::to_string(o) + "\"/>\n";
    }
    text += "</options>\n</bench>\n</quivo>\n";
    std::ofstream(path, std::ios::binary) << text;
}

// A page of about `bytes` bytes with `references` templates spread evenly,
// naming the variables in turn.
std::string page(size_t bytes, int references) {
    const size_t gap = bytes / static_cast<size_t>(references);
    std::string text;
    text.reserve(bytes + 64);
    for (int r = 0; r < references; ++r) {
        const std::string ref = "[[var" + std::to_string(r % kVariables) + "]]";
        text.append(gap > ref.size() ? gap - ref.size() : 0, 'p');
        text += ref;
    }
    return text;
}

// One run in seconds; `expanded` gets the size of the expanded text.
double expandTime(KrPersistentAppStorage& storage, const std::string& text, size_t& expanded) {
    std::string copy = text;
    const auto start = Clock::now();
    storage.ExpandTemplates(copy, "");
    const double seconds = secondsSince(start);
    expanded = copy.size();
    return seconds;
}

}  // namespace

int main() {
    // Freed memory is kept for the next run: otherwise every run of the
    // megabyte page gets fresh pages from the kernel while the 100 KB page
    // reuses the heap, and the comparison measures page faults instead of
    // the expansion.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    char pattern[] = "/tmp/quivo-bench-storage-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(pattern);
    writeApplication("./bench.xml");

    KrPersistentAppStorage storage("bench");
    const struct {
        const char* what;
        const char* path;
    } lookups[] = {
        {"first project", "bench.projects.project.projectpath"},
        {"option", "quivo.bench.options.option.value"},
        {"missing element", "bench.projects.nothing.value"},
    };
    for (const auto& lookup : lookups) {
        const int count = 200000;
        size_t answered = 0;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            answered += storage.GetValue(lookup.path, "-").size();
        }
        const double seconds = secondsSince(start);
        std::printf("lookup %-16s %10.0f lookups/s  (%zu bytes answered)\n", lookup.what,
                    count / seconds, answered);
    }
    {
        const int count = 200;
        size_t listed = 0;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            std::list<std::string> projects;
            storage.ListProjects(projects);
            listed += projects.size();
        }
        std::printf("list %d projects      %10.0f lists/s  (%zu names)\n", kProjects,
                    count / secondsSince(start), listed);
    }

    for (int v = 0; v < kVariables; ++v) {
        storage.SetVariable("var" + std::to_string(v), "<b>value of variable " + std::to_string(v) + "</b>");
    }
    const std::string small = page(100 * 1024, kVariables);
    const std::string large = page(10 * 100 * 1024, 10 * kVariables);
    size_t smallOut = 0;
    size_t largeOut = 0;
    // The best of many runs, the two pages taking turns, so that other load
    // on the machine weighs on both alike.
    double smallTime = 1e9;
    double largeTime = 1e9;
    for (int run = 0; run < 51; ++run) {
        smallTime = std::min(smallTime, expandTime(storage, small, smallOut));
        largeTime = std::min(largeTime, expandTime(storage, large, largeOut));
    }
    std::printf("expand %7zu bytes, %5d templates: %8.3f ms  %7.1f MB/s of output\n", small.size(),
                kVariables, smallTime * 1e3, smallOut / smallTime / 1e6);
    std::printf("expand %7zu bytes, %5d templates: %8.3f ms  %7.1f MB/s of output\n", large.size(),
                10 * kVariables, largeTime * 1e3, largeOut / largeTime / 1e6);
    const double ratio = largeTime / smallTime;
    const bool linear = ratio <= 11.0;
    std::printf("tenfold page took %.2fx the time (goal: at most 11x): %s\n", ratio,
                linear ? "linear" : "NOT LINEAR");

    std::filesystem::current_path(previous);
    std::filesystem::remove_all(pattern);
    return linear ? 0 : 1;
}
