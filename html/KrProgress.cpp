#include "html/KrProgress.h"

#include <atomic>
#include <cstdint>
#include <ostream>

namespace {

// Pages are built on several scheduler threads at once: the counter must be
// atomic, or two widgets could get the same id.
std::atomic<uint64_t> g_progressCount{0};

}  // namespace

KrProgress::KrProgress(const std::string& label, double max, double value)
    : _progress(), _label("", label) {
    _progress.SetMaxAndValue(max, value);
    _progress.AddText(std::to_string(value) + "/" + std::to_string(max));
    const std::string id =
        "KrProgress_" + std::to_string(g_progressCount.fetch_add(1, std::memory_order_relaxed) + 1);
    _progress.GetOrCreateAttribute("id")->SetFromString(id);
    _label.GetOrCreateAttribute("for")->SetFromString(id);
}

KrProgress::~KrProgress() = default;

void KrProgress::Write(std::ostream& out) {
    _label.Write(out);
    _progress.Write(out);
}
