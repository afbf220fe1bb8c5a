#include "transport/KrXHeader.h"

#include <chrono>
#include <sstream>

#include "document/KrXMLComplexElement.h"
#include "foundation/KrFileUtils.h"
#include "transport/KrChunkedDecoder.h"
#include "transport/KrThreadSpares.h"

namespace {

int64_t NowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

constexpr size_t kKeptBodyRoom = 4096;
constexpr size_t kKeptNameRoom = 256;

void DeleteBody(KrStringBuf* body) {
    delete body;
}
using SpareBodies = KrThreadSpares<KrStringBuf, 8, DeleteBody>;

// A finished message's body goes back to its thread, emptied, with its room
// (one that has about a request's worth, up to a few): a body and its room
// cost two allocations.
void ReturnBody(std::unique_ptr<KrStringBuf> body) {
    const size_t room = body->Room();
    if (room > kKeptBodyRoom || room < kKeptBodyRoom / 8)
        return;
    body->Rewind();
    if (SpareBodies::keep(body.get()))
        body.release();
}

// The route and task name of a finished request, kept by its thread for the
// next one: their texts (ids of twenty-odd characters) would otherwise cost
// four allocations per request, 8% of a kept file's request's instructions
// (callgrind against the build without it).
struct SpareNames {
    ~SpareNames() { closed = true; }
    std::vector<std::string> route;
    std::string task;
    bool full = false;
    bool closed = false;
};

SpareNames& Spare() {
    thread_local SpareNames spare;
    return spare;
}

}  // namespace

KrXHeader::KrXHeader(int method, bool openContent, int protocolKind)
    : _protocolKind(protocolKind),
      _openContent(openContent),
      _method(method),
      _created(NowNanos()) {}

KrXHeader::~KrXHeader() {
    // The last owner is going: nobody else can hold the mutex.
    if (_body)
        ReturnBody(std::move(_body));
    SpareNames& spare = Spare();
    if (_route.size() == 2 && !spare.full && !spare.closed &&
        _taskName.capacity() <= kKeptNameRoom && _route[0].capacity() <= kKeptNameRoom &&
        _route[1].capacity() <= kKeptNameRoom) {
        spare.route = std::move(_route);
        spare.task = std::move(_taskName);
        spare.full = true;
    }
    for (auto& [name, block] : _ownedBlocks)
        delete block;
    _ownedBlocks.clear();
}

bool KrXHeader::isAnswerReady() {
    std::lock_guard<std::mutex> guard(_mutex);
    const int s = state();
    return (s == KR_JOB_OPEN_CONTENT || s == KR_JOB_READY) && !_headWritten &&
           _status.load() >= 100;
}

bool KrXHeader::reservedHook() {
    return false;
}

int KrXHeader::protocolKind() const {
    return _protocolKind.load();
}

const std::vector<std::string>& KrXHeader::rawHeader(const std::string& name) {
    return _headers.raw(name);
}

KrStringBuf& KrXHeader::_makeBody() {
    if (KrStringBuf* spare = SpareBodies::take()) {
        _body.reset(spare);
        return *_body;
    }
    _body = std::make_unique<KrStringBuf>();
    // Room for a whole browser request (or a small answer) at once: growing
    // from nothing costs two allocations and a copy on the way.
    std::string room;
    room.reserve(kBodyRoom);
    _body->str(std::move(room));
    return *_body;
}

void KrXHeader::setReadRoute(const std::string& connection, const std::string& server,
                             const std::string& task) {
    SpareNames& spare = Spare();
    if (spare.full && _route.empty()) {
        _route = std::move(spare.route);
        _taskName = std::move(spare.task);
        spare.full = false;
    }
    _route.resize(2);
    _route[0].assign(connection);
    _route[1].assign(server);
    _taskName.assign(task);
}

std::unique_ptr<KrStringBuf> KrXHeader::takeBody() {
    if (!_body)
        return std::make_unique<KrStringBuf>();
    return std::move(_body);
}

void KrXHeader::setConnectLimit(std::chrono::steady_clock::time_point deadline,
                                std::shared_ptr<KrConnectStop> stop) {
    _connectLimit = std::make_unique<ConnectLimit>(ConnectLimit{deadline, std::move(stop)});
}

void KrXHeader::setFileBody(const std::string& path, long length) {
    _fileBody = path;
    _bodyLength = length;
}

std::string KrXHeader::routeToken(size_t index) const {
    return index < _route.size() ? _route[index] : std::string();
}

void KrXHeader::addHeader(const std::string& name, const std::string& value) {
    if (!name.empty() && !value.empty())
        _headers.values(name).push_back(value);
}

int KrXHeader::isComplete() {
    const uint64_t unread = (_body ? _body->Length() : 0) + _filed;
    const uint64_t announced = static_cast<uint64_t>(_contentLength);
    if (unread < announced)
        return KR_READ_MORE;
    return unread > announced ? KR_READ_REFUSED : KR_READ_COMPLETE;
}

int64_t KrXHeader::age() const {
    return (NowNanos() - _created) / 1000;
}

std::string KrXHeader::creationTimeText() const {
    return std::string(creationTimeView());
}

std::string_view KrXHeader::creationTimeView() const {
    // Every access-log line asks; answers of one second share the text.
    struct Cached {
        int64_t second = INT64_MIN;
        std::string text;
    };
    thread_local Cached cached;
    int64_t second = _created / 1000000000;
    if (_created % 1000000000 < 0)
        --second;
    if (second != cached.second) {
        cached.text = TimeToString(_created);
        cached.second = second;
    }
    return cached.text;
}

std::string KrXHeader::schemeName() const {
    switch (protocolKind()) {
        case KR_PROTOCOL_HTTP:
            return "http";
        case KR_PROTOCOL_HTTPS:
            return "https";
        case KR_PROTOCOL_QUIVO:
            return "quivo";
        case KR_PROTOCOL_QUIVOS:
            return "quivos";
        case KR_PROTOCOL_SOCKET:
            return "socket";
        default:
            return "unknown";
    }
}

std::string KrXHeader::urlText() const {
    if (_host.empty())
        return std::string();
    std::string text = schemeName() + "://";
    if (!_user.empty())
        text += _user + "@";
    return text + _host + ":" + std::to_string(_port);
}

std::string KrXHeader::directoryOfPath() const {
    const size_t slash = _path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    const size_t first = _path.find_first_not_of('/');
    if (first == std::string::npos || first >= slash)
        return std::string();
    const size_t last = _path.find_last_not_of('/', slash);
    return _path.substr(first, last + 1 - first);
}

std::string KrXHeader::fileNameOfPath() const {
    const size_t slash = _path.rfind('/');
    return slash == std::string::npos ? std::string() : _path.substr(slash + 1);
}

bool KrXHeader::getParameter(const std::string& name, std::string& out) const {
    if (!_blocksMade)
        return !name.empty() && _findPair(name, out);
    auto found = _parameters.find(name);
    if (found == _parameters.end())
        return false;
    out = found->second->text();
    return true;
}

void KrXHeader::setContent(const std::string& text) {
    body().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    setStatus(200);
    setState(KR_JOB_READY);
}

void KrXHeader::setContentFrom(KrXMLComplexElement& element) {
    std::ostringstream markup;
    element.Write(markup);
    setContent(markup.str());
}

void KrXHeader::redirect(const std::string& location) {
    _location = location;
    setState(KR_JOB_READY);
    setStatus(303);
}

void KrXHeader::setKontextReplacement(const std::string& kontextId, KrHTMLKontextN* kontext) {
    _kontextReplacement.kontextId = kontextId;
    _kontextReplacement.kontext = kontext;
}

void KrXHeader::setStatus(unsigned long code) {
    if (KrHttpStatusTexts().count(code) != 0)
        _status.store(code);
}

