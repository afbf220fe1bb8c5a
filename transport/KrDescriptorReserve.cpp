#include "transport/KrDescriptorReserve.h"

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "transport/KrSocketIPvx.h"

struct KrDescriptorReserve::State {
    std::mutex mutex;
    // Changes of `connections` and stops, for waitForRoom.
    std::condition_variable room;
    // Guarded by `mutex`: the connections allowed and held, the limit they
    // come from, and whether the wait at the limit was told since the
    // connections last fell to half of those allowed.
    size_t allowed = static_cast<size_t>(-1);
    size_t connections = 0;
    size_t descriptors = 0;
    bool fullTold = false;
    // When a shortage was last reported, and how many went untold since.
    std::chrono::steady_clock::time_point shortageTold;
    size_t shortagesUntold = 0;
    std::once_flag raised;
};

KrDescriptorReserve::KrDescriptorReserve() : _state(std::make_shared<State>()) {}

KrDescriptorReserve::~KrDescriptorReserve() = default;

KrDescriptorReserve& KrDescriptorReserve::process() {
    // Never destroyed: a listener stopped by a static's destructor at exit
    // still finds it.
    static KrDescriptorReserve* const reserve = new KrDescriptorReserve;
    return *reserve;
}

void KrDescriptorReserve::raiseProcessLimit() {
    // A server holds a descriptor per connection: the soft limit (often
    // 1024) is raised to the hard one, once, when the first listener opens.
    std::call_once(_state->raised, [this] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return;
        if (limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
            ::getrlimit(RLIMIT_NOFILE, &limit);
        }
        if (limit.rlim_cur != RLIM_INFINITY)
            setLimit(static_cast<size_t>(limit.rlim_cur));
    });
}

void KrDescriptorReserve::setLimit(size_t descriptors) {
    std::lock_guard<std::mutex> guard(_state->mutex);
    _state->descriptors = descriptors;
    _state->allowed = descriptors / 2 > 0 ? descriptors / 2 : 1;
    _state->room.notify_all();
}

size_t KrDescriptorReserve::connectionLimit() const {
    std::lock_guard<std::mutex> guard(_state->mutex);
    return _state->allowed;
}

size_t KrDescriptorReserve::connections() const {
    std::lock_guard<std::mutex> guard(_state->mutex);
    return _state->connections;
}

bool KrDescriptorReserve::waitForRoom(const std::function<bool()>& stopped) {
    State& state = *_state;
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.connections >= state.allowed && !state.fullTold && !stopped()) {
        // Said once each time the limit is reached: the peers that wait are
        // not refused, and the operator learns what holds them.
        state.fullTold = true;
        std::cerr << state.connections << " connections hold half of the " << state.descriptors
                  << " descriptors this process may open: new peers wait until one closes"
                  << std::endl;
    }
    state.room.wait(lock, [&] { return stopped() || state.connections < state.allowed; });
    return !stopped();
}

std::shared_ptr<KrSocketIPvx> KrDescriptorReserve::admit(std::unique_ptr<KrSocketIPvx> socket) {
    std::shared_ptr<State> state = _state;
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        ++state->connections;
    }
    // The place is given back when the socket's descriptor closes: as its
    // connection goes, or when the last holder lets go of it.
    socket->setOnClose([state] {
        std::lock_guard<std::mutex> guard(state->mutex);
        --state->connections;
        // Told again only once the crowd has thinned out, not each time a
        // connection at the limit is replaced by the next.
        if (state->connections <= state->allowed / 2)
            state->fullTold = false;
        if (state->connections < state->allowed)
            state->room.notify_all();
    });
    return std::shared_ptr<KrSocketIPvx>(std::move(socket));
}

void KrDescriptorReserve::wake() {
    std::lock_guard<std::mutex> guard(_state->mutex);
    _state->room.notify_all();
}

void KrDescriptorReserve::reportShortage(const std::string& what, int error) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(_state->mutex);
    if (_state->shortageTold != std::chrono::steady_clock::time_point() &&
        now - _state->shortageTold < std::chrono::seconds(1)) {
        ++_state->shortagesUntold;
        return;
    }
    std::cerr << what << ": " << std::strerror(error) << ", answered 503";
    if (_state->shortagesUntold > 0)
        std::cerr << " (and " << _state->shortagesUntold << " more since the last such line)";
    std::cerr << std::endl;
    _state->shortageTold = now;
    _state->shortagesUntold = 0;
}

bool KrDescriptorReserve::isShortage(int error) {
    return error == EMFILE || error == ENFILE;
}
