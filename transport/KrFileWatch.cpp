#include "transport/KrFileWatch.h"

#include <sys/inotify.h>
#include <sys/ioctl.h>

#include <string_view>

namespace {

// A directory on the way: a name coming or going, or its own attributes.
// Writes to other files in it make no event.
constexpr uint32_t kDirectoryEvents = IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                      IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The file itself, by its inode: a write through any of its names counts.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                 IN_MOVE_SELF;

KrFileHandle NewInstance() {
    return KrFileHandle(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
}

}  // namespace

KrFileWatch::KrFileWatch() : _inotify(NewInstance()) {}

bool KrFileWatch::watch(const KrFileHandle& root, const std::string& relative) {
    if (!_inotify.isOpen() || !root.isOpen() || relative.empty() || relative.front() == '/')
        return false;
    // Named through the root's descriptor, so the directory watched is the
    // one open, whatever its path names now.
    std::string path = "/proc/self/fd/" + std::to_string(root.get());
    const auto add = [this, &path](uint32_t events) {
        const int descriptor = ::inotify_add_watch(_inotify.get(), path.c_str(), events);
        if (descriptor < 0)
            return false;
        if (descriptor > _highest)
            _highest = descriptor;
        return true;
    };
    if (_highest >= kMaxWatches || !add(kDirectoryEvents))
        return false;
    size_t from = 0;
    for (;;) {
        const size_t slash = relative.find('/', from);
        const std::string_view part =
            std::string_view(relative).substr(from, slash == std::string::npos ? slash : slash - from);
        if (part.empty() || part == "." || part == "..")
            return false;
        path += '/';
        path += part;
        // A symbolic link on the way is not followed: its target is not
        // what the path below the root names.
        if (slash == std::string::npos)
            return add(kFileEvents | IN_DONT_FOLLOW);
        if (_highest >= kMaxWatches || !add(kDirectoryEvents | IN_DONT_FOLLOW))
            return false;
        from = slash + 1;
    }
}

bool KrFileWatch::pending() const {
    // Without an instance nothing was watched: every kept file is checked
    // by its owner instead.
    if (!_inotify.isOpen())
        return false;
    int queued = 0;
    return ::ioctl(_inotify.get(), FIONREAD, &queued) != 0 || queued > 0;
}

void KrFileWatch::reset() {
    // A new instance drops the old one's watches and events in one close.
    _inotify = NewInstance();
    _highest = 0;
    ++_generation;
}
