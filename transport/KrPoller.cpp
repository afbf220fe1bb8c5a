#include "transport/KrPoller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>

#include "foundation/KrException.h"
#include "foundation/KrRetryInterrupted.h"

namespace {

// Key of the wake-up descriptor; callers' keys are connection serials from 1 up.
constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr size_t kBatch = 256;

// Closes what the constructor had opened; the message keeps the call's errno.
[[noreturn]] void fail(const char* call, std::initializer_list<int> opened = {}) {
    const int error = errno;
    for (const int descriptor : opened)
        ::close(descriptor);
    throw KrException(std::string(call) + " failed: " + std::strerror(error), __LINE__, "src");
}

}  // namespace

KrPoller::KrPoller() : _buffer(kBatch) {
    _epoll = epoll_create1(EPOLL_CLOEXEC);
    if (_epoll < 0)
        fail("epoll_create1");
    _wakeup = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (_wakeup < 0)
        fail("eventfd", {_epoll});
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    if (epoll_ctl(_epoll, EPOLL_CTL_ADD, _wakeup, &event) != 0)
        fail("epoll_ctl", {_wakeup, _epoll});
}

KrPoller::~KrPoller() {
    ::close(_wakeup);
    ::close(_epoll);
}

bool KrPoller::add(int descriptor, uint64_t key, bool read, bool write) {
    epoll_event event{};
    event.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT | EPOLLONESHOT : 0u);
    event.data.u64 = key;
    if (epoll_ctl(_epoll, EPOLL_CTL_ADD, descriptor, &event) == 0)
        return true;
    return errno == EEXIST && epoll_ctl(_epoll, EPOLL_CTL_MOD, descriptor, &event) == 0;
}

bool KrPoller::watchWrite(int descriptor, uint64_t key, bool read) {
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLONESHOT | (read ? EPOLLIN | EPOLLRDHUP : 0u);
    event.data.u64 = key;
    if (epoll_ctl(_epoll, EPOLL_CTL_MOD, descriptor, &event) == 0)
        return true;
    return errno == ENOENT && epoll_ctl(_epoll, EPOLL_CTL_ADD, descriptor, &event) == 0;
}

bool KrPoller::watchErrorsOnly(int descriptor, uint64_t key) {
    epoll_event event{};
    event.data.u64 = key;
    return epoll_ctl(_epoll, EPOLL_CTL_MOD, descriptor, &event) == 0;
}

bool KrPoller::remove(int descriptor) {
    return epoll_ctl(_epoll, EPOLL_CTL_DEL, descriptor, nullptr) == 0;
}

bool KrPoller::wait(std::vector<Event>& out, int timeoutMs) {
    const int count = KrRetryInterrupted([&] {
        return epoll_wait(_epoll, _buffer.data(), static_cast<int>(_buffer.size()), timeoutMs);
    });
    if (count < 0)
        return false;
    for (int i = 0; i < count; ++i) {
        const epoll_event& event = _buffer[static_cast<size_t>(i)];
        if (event.data.u64 == kWakeKey) {
            uint64_t drained;
            // Non-blocking: a concurrent reader may have emptied it already.
            [[maybe_unused]] ssize_t ignored = ::read(_wakeup, &drained, sizeof drained);
            continue;
        }
        out.push_back(Event{event.data.u64, (event.events & EPOLLIN) != 0,
                            (event.events & EPOLLOUT) != 0,
                            (event.events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0});
    }
    return true;
}

void KrPoller::wake() {
    const uint64_t one = 1;
    KrRetryInterrupted([&] { return ::write(_wakeup, &one, sizeof one); });
    // EAGAIN means the counter is already huge: a wake-up is pending anyway.
}
