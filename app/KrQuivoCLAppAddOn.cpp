#include "app/KrQuivoCLAppAddOn.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "app/KrAppViewportBase.h"
#include "app/KrQuitSignal.h"
#include "foundation/KrRetryInterrupted.h"

namespace {

constexpr uint64_t kInputKey = 1;
constexpr size_t kLongestWord = 64;

}  // namespace

KrQuivoCLAppAddOn::KrQuivoCLAppAddOn(KrAppViewportBase* viewport, int argc, char** argv)
    : viewport(viewport) {
    viewport->SetCommandLine(argc, argv);
    _signal = std::make_unique<KrQuitSignal>(_poller);
    if (!_poller.add(STDIN_FILENO, kInputKey, true, false)) {
        if (errno == EPERM)
            _inputUnwatched = true;
        else
            _inputOpen = false;
    }
}

KrQuivoCLAppAddOn::~KrQuivoCLAppAddOn() = default;

void KrQuivoCLAppAddOn::Idle() {}

void KrQuivoCLAppAddOn::Done() {}

void KrQuivoCLAppAddOn::Run() {
    viewport->Run(false);
    while (!quit)
        WaitForQuit();
    viewport->Stop();
}

bool KrQuivoCLAppAddOn::WaitForQuit() {
    while (!quit) {
        if (_signal->requested()) {
            quit = true;
            break;
        }
        if (_inputOpen && _inputUnwatched) {
            if (!_readInput())
                _inputOpen = false;
            continue;
        }
        std::vector<KrPoller::Event> events;
        if (!_poller.wait(events, -1))
            break;
        if (_signal->requested())
            continue;
        for (const KrPoller::Event& event : events) {
            if (event.key == kInputKey && (event.readable || event.broken) && !_readInput()) {
                _poller.remove(STDIN_FILENO);
                _inputOpen = false;
            }
        }
        if (!events.empty())
            break;
    }
    return quit;
}

bool KrQuivoCLAppAddOn::_readInput() {
    char buffer[4096];
    const ssize_t count =
        KrRetryInterrupted([&] { return ::read(STDIN_FILENO, buffer, sizeof buffer); });
    if (count <= 0) {
        _takeWords(true);
        return false;
    }
    _pending.append(buffer, static_cast<size_t>(count));
    _takeWords(false);
    return true;
}

void KrQuivoCLAppAddOn::_takeWords(bool atEnd) {
    size_t start = 0;
    size_t i = 0;
    if (_skippingWord) {
        while (i < _pending.size() && !std::isspace(static_cast<unsigned char>(_pending[i])))
            ++i;
        _skippingWord = i == _pending.size();
        start = i;
    }
    while (i < _pending.size()) {
        while (i < _pending.size() && std::isspace(static_cast<unsigned char>(_pending[i])))
            ++i;
        start = i;
        while (i < _pending.size() && !std::isspace(static_cast<unsigned char>(_pending[i])))
            ++i;
        if (i == _pending.size() && !atEnd)
            break;  // the word may go on in the next read
        if (_pending.compare(start, i - start, "quit") == 0)
            quit = true;
        start = i;
    }
    _pending.erase(0, start);
    // A word this long is not "quit": drop it instead of keeping it all.
    if (_pending.size() > kLongestWord) {
        _pending.clear();
        _skippingWord = true;
    }
    if (atEnd) {
        _pending.clear();
        _skippingWord = false;
    }
}
