#include "transport/KrReadBatch.h"

#include <atomic>

KrReadBatch::KrReadBatch() : _outer(_current), _outerPass(_pass) {
    _current = this;
    _pass = 0;
}

KrReadBatch::~KrReadBatch() {
    end();
    _current = _outer;
    _pass = _outerPass;
}

void KrReadBatch::begin() {
    end();
    _pass = ++_passes;
}

void KrReadBatch::end() {
    _pass = 0;
    // Let go after the pass is over: a destructor run here sees no pass.
    _held.clear();
}

uint64_t KrReadBatch::newKey() {
    static std::atomic<uint64_t> keys{0};
    return keys.fetch_add(1, std::memory_order_relaxed) + 1;
}
