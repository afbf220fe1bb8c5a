#include "transport/KrTransceiverClient.h"

#include <algorithm>
#include <ostream>

#include "foundation/KrJobMessage.h"
#include "foundation/KrURL.h"
#include "transport/KrHTML_ErrorMsg404.h"
#include "transport/KrTransceiver.h"
#include "transport/KrUsableCores.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"
#include "transport/KrXServerHeader.h"

namespace {

std::string OptionOr(const std::map<std::string, std::string>& options, const char* key,
                     const char* fallback) {
    const auto it = options.find(key);
    return it != options.end() ? it->second : std::string(fallback);
}

size_t ProgramSlots() {
    return std::clamp<size_t>(2 * KrUsableCores(), 4, 64);
}

}  // namespace

KrTransceiverClient::KrTransceiverClient(std::function<bool(KrServerCallback_t&)> callback,
                                         const std::map<std::string, std::string>& options,
                                         KrWebApplication* application)
    : baseDirectory(OptionOr(options, "_baseDirectoryHTTP", "")),
      phpBinName(OptionOr(options, "_phpbinname", "php-cgi")),
      serverCallback(std::move(callback)),
      options(options),
      contextCommandUrl(OptionOr(options, "_app_context_commandurl", "")),
      application(application),
      // Programs mostly wait for their input and output; two per core keep
      // the cores busy without letting a flood of requests fork without end.
      // As many again may finish their work after their clients left.
      _runner(ProgramSlots(), ProgramSlots()) {}

KrTransceiverClient::~KrTransceiverClient() {
    _leaveRegistry();
}

bool KrTransceiverClient::onMessage(const KrJobMessage& message) {
    if (message.kind == KR_MESSAGE_CLIENT_TASK_DONE) {
        const auto task = message.values.find("ctask");
        if (task != message.values.end())
            leaveJoinedTask(task->second);
    }
    return true;
}

bool KrTransceiverClient::attachTransceiver(KrTransceiver* newTransceiver) {
    std::lock_guard<std::mutex> guard(mutex);
    if (transceiver != nullptr)
        return false;
    transceiver = newTransceiver;
    return true;
}

void KrTransceiverClient::detachTransceiver(KrTransceiver* oldTransceiver) {
    std::lock_guard<std::mutex> guard(mutex);
    if (transceiver == oldTransceiver)
        transceiver = nullptr;
}

void KrTransceiverClient::spareHookA() {}

void KrTransceiverClient::spareHookB() {}

bool KrTransceiverClient::onHeaderComplete() {
    return true;
}

bool KrTransceiverClient::answersInline(KrXHeader& request) {
    if (request.direction() != KR_DIRECTION_REQUEST || application == nullptr)
        return true;
    // A body kept in a file is looked into by a worker, never by the thread
    // that read it (see handleApplicationRequest).
    if (request.bodyFile())
        return false;
    // What handleApplicationRequest offers to the application.
    request._parseBody();
    std::string quivoid;
    request.getParameter(idParameterName, quivoid);
    return quivoid.empty() && (contextCommandUrl.empty() || request.path() != contextCommandUrl);
}

bool KrTransceiverClient::onSocketAnswer(const std::string&, KrXHeader&) {
    return true;
}

bool KrTransceiverClient::onHTTPAnswer(const std::string&, KrXHeader& answer) {
    answer.setHandled();
    return true;
}

bool KrTransceiverClient::onQUIVOAnswer(const std::string&, KrXHeader&) {
    return true;
}

bool KrTransceiverClient::dispatch(const std::string& serverName, KrXHeader& header) {
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (openedServers.count(serverName) == 0)
            return true;
    }
    const int kind = header.protocolKind();
    if (header.direction() == KR_DIRECTION_REQUEST) {
        if (kind == KR_PROTOCOL_SOCKET)
            return true;
        if (kind == KR_PROTOCOL_HTTP || kind == KR_PROTOCOL_HTTPS)
            return _handleWebRequest(serverName, header);
        if (kind == KR_PROTOCOL_QUIVO)
            return _handleQUIVORequest(serverName, header);
        return false;
    }
    if (header.direction() == KR_DIRECTION_ANSWER) {
        if (kind == KR_PROTOCOL_SOCKET)
            return onSocketAnswer(serverName, header);
        if (kind == KR_PROTOCOL_HTTP || kind == KR_PROTOCOL_HTTPS)
            return onHTTPAnswer(serverName, header);
        if (kind == KR_PROTOCOL_QUIVO)
            return onQUIVOAnswer(serverName, header);
    }
    return false;
}

void KrTransceiverClient::_send(std::shared_ptr<KrXHeader> answer, const std::string& taskName) {
    // Sent outside `mutex`: answers of several server threads leave side by
    // side, and the transceiver keeps each connection's answers apart.
    if (KrTransceiver* owner = attachedTransceiver())
        owner->send(*this, std::move(answer), serverCallback, taskName);
}

bool KrTransceiverClient::handleApplicationRequest(const std::string&, KrXHeader& request) {
    const int kind = request.protocolKind();
    if ((kind != KR_PROTOCOL_HTTP && kind != KR_PROTOCOL_HTTPS) || application == nullptr)
        return false;
    if (request.bodyFile()) {
        // A large body is read into memory only for the application's own
        // pages; one for a program stays in its file, which is its input.
        std::string quivoid;
        request.getParameter(idParameterName, quivoid);
        if (quivoid.empty() &&
            request.findFileBodyParameter(idParameterName, quivoid) == KR_READ_COMPLETE &&
            quivoid.empty() && (contextCommandUrl.empty() || request.path() != contextCommandUrl))
            return false;
    }
    if (request._parseBody() != KR_READ_COMPLETE || request.refusalStatus() != 0) {
        // A body that does not parse (a malformed multipart body, more bytes
        // than announced) gets what the reader gives a request it refuses:
        // 400 with an empty body, and the connection closes after it.
        request.refuse(request.refusalStatus() != 0 ? request.refusalStatus() : 400);
        _send(std::shared_ptr<KrXHeader>(request.makeRefusal()), request.taskName());
        return true;
    }
    std::string quivoid;
    request.getParameter(idParameterName, quivoid);
    std::shared_ptr<KrXResponseHeader> answer;
    if (!quivoid.empty()) {
        answer.reset(request.makeResponse());
        std::string command;
        request.getParameter(commandParameterName, command);
        application->DispatchToKontext(quivoid, request, *answer, command);
    } else if (!contextCommandUrl.empty() && request.path() == contextCommandUrl) {
        KrHTMLKontextN* kontext = application->CreateKontext(idParameterName);
        // No context: not answered, the request goes on to files.
        if (kontext == nullptr)
            return false;
        answer.reset(request.makeResponse());
        application->HandleKontextRequest(*kontext, request, *answer, "&new");
    } else {
        return false;
    }
    if (answer->status() == 500)
        return false;
    KrTransceiver* owner = attachedTransceiver();
    if (owner == nullptr)
        return false;
    owner->send(*this, answer, serverCallback, request.taskName());
    return true;
}

void KrTransceiverClient::_sendNotFound(KrXHeader& request, bool withPage) {
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    answer->setStatus(404);
    if (withPage) {
        // The page never changes: written once, copied into every answer.
        static const std::string text = [] {
            KrHTML_ErrorMsg404 page("Error 404 - not found",
                                    "<h1>Error 404 - not found</h1>The requested page was not "
                                    "found or the project was timed out.",
                                    "/", "Startseite");
            KrStringBuf buffer;
            std::ostream out(&buffer);
            page.Write(out);
            std::string written;
            buffer.CopyOut(written, 0, UINT64_MAX);
            return written;
        }();
        answer->body().sputn(text.data(), static_cast<std::streamsize>(text.size()));
        answer->contentType() = "text/html; charset=utf-8";
    } else {
        answer->body();
    }
    answer->setState(KR_JOB_READY);
    _send(answer, request.taskName());
}

bool KrTransceiverClient::_handleWebRequest(const std::string& serverName, KrXHeader& request) {
    if (handleApplicationRequest(serverName, request))
        return true;
    if (_serveFile(serverName, request))
        return true;
    _sendNotFound(request, true);
    return true;
}

bool KrTransceiverClient::_handleQUIVORequest(const std::string& serverName, KrXHeader& request) {
    if (handleApplicationRequest(serverName, request))
        return true;
    _sendNotFound(request, false);
    return true;
}

std::string KrTransceiverClient::openServer(std::shared_ptr<KrXServerHeader> serverHeader) {
    std::lock_guard<std::mutex> guard(mutex);
    if (transceiver == nullptr)
        return "";
    const std::string name = transceiver->addServer(*this, std::move(serverHeader), serverCallback);
    if (!name.empty())
        openedServers[name] = 1;
    return name;
}

std::string KrTransceiverClient::_sendRequest(std::shared_ptr<KrXHeader> request) {
    std::lock_guard<std::mutex> guard(mutex);
    if (!request || transceiver == nullptr)
        return "";
    const std::string task = createJoinedTask("send_" + request->id());
    request->joinTask(task);
    const std::string name = transceiver->send(*this, request, serverCallback, task);
    if (!name.empty())
        openedServers[name] = 2;
    return name;
}

int KrTransceiverClient::openedRole(const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex);
    const auto it = openedServers.find(key);
    return it == openedServers.end() ? 0 : it->second;
}

KrTransceiver* KrTransceiverClient::attachedTransceiver() {
    std::lock_guard<std::mutex> guard(mutex);
    return transceiver;
}

void KrTransceiverClient::setCGILimits(std::chrono::milliseconds time, size_t output) {
    cgiTimeLimitMs.store(time.count());
    cgiOutputLimit.store(output);
}
