// The web client's CGI service: programs below "cgi-bin/" and ".php" files
// through the PHP interpreter, run by the client's KrCGIRunner, their
// answers made from what they write.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <string_view>
#include <thread>

#include "foundation/KrJob.h"
#include "foundation/KrStringUtils.h"
#include "transport/KrCGIHead.h"
#include "transport/KrDescriptorReserve.h"
#include "transport/KrHttpText.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

extern char** environ;

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat info;
    return ::access(path.c_str(), X_OK) == 0 && ::stat(path.c_str(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

// The program as execve needs it: a path with "/" stays, a bare name is
// looked up on PATH (before the child is started).
std::string ResolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start);
        candidate = (candidate.empty() ? "." : candidate) + "/" + program;
        if (IsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return "";
}

// The process's environment without the request's variables (and without
// any HTTP_ variable of the server's own), then the request's.
std::vector<std::string> ProgramEnvironment(const std::map<std::string, std::string>& request) {
    std::vector<std::string> strings;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const std::string name(*entry, equals != nullptr ? equals - *entry : std::strlen(*entry));
        if (request.count(name) == 0 && name.compare(0, 5, "HTTP_") != 0)
            strings.emplace_back(*entry);
    }
    for (const auto& [name, value] : request)
        strings.push_back(name + "=" + value);
    return strings;
}

std::string MissingInterpreterPage(const std::string& program) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><title>502 Server Error</title></head><body>"
        "<h1>502 Server Error</h1><p>";
    page += HTMLEscape(program, false);
    page += " not found in the PATH: PHP pages cannot be served.</p></body></html>\n";
    return page;
}

// What a program wrote, collected for a caller that waits for the end.
class CollectingSink : public KrCGISink {
  public:
    explicit CollectingSink(KrStringBuf& output) : _output(output) {}

    Next output(const char* data, size_t size) override {
        _output.sputn(data, static_cast<std::streamsize>(size));
        return KR_CGI_MORE;
    }
    // The runner calls it once per run.
    void ended(KrCGIOutcome outcome, int) override { _ended.set_value(outcome); }
    KrCGIOutcome wait() { return _result.get(); }

  private:
    KrStringBuf& _output;
    std::promise<KrCGIOutcome> _ended;
    std::future<KrCGIOutcome> _result = _ended.get_future();
};

// The answer to one request, made from its program's output. Output after
// the head is held for a moment: a program whose output ends meanwhile is
// answered with its length in one piece. One that goes on writing, or
// grows past the connection's output window, or falls silent, is sent as it
// comes instead (in chunks, or until the close for an HTTP/1.0 peer), its
// program read only while the connection takes what came. A length the
// program announced is passed on as it stands, never rewritten. A program
// that dies after its head, or whose output ends short of the length it
// announced, leaves an answer the client can tell is cut short: the
// connection closes without the last chunk, or before the announced length.
//
// output and ended run on the runner's thread and alone touch the answer's
// state; resume and cancel come from the connection's side and only pass
// the word on to the runner.
class CGIAnswer : public KrCGISink, public KrAnswerStream {
  public:
    CGIAnswer(KrTransceiverClient& client, std::function<bool(KrServerCallback_t&)> callback,
              KrXHeader& request, KrCGIRunner& runner,
              std::shared_ptr<KrTransceiverConnection> connection)
        : _client(client),
          _callback(std::move(callback)),
          _request(request),
          _runner(runner),
          _connection(std::move(connection)),
          _headOnly(request.method() == KR_HTTP_HEAD),
          _chunked(request.isHTTP11()) {}

    // The page of a request whose program the server's stop ended before
    // it answered.
    static constexpr std::string_view kStoppingPage =
        "<!DOCTYPE html>\n<html><head><title>503 Service Unavailable</title></head><body>"
        "<h1>503 Service Unavailable</h1><p>The server is stopping.</p></body></html>\n";

    void setRun(const std::shared_ptr<KrCGIRun>& run) { _run = run; }
    // Answers `status` without running the program, and lets the
    // connection go on.
    void answerNow(unsigned long status, std::string_view page = {}) {
        _answer(status, false, page);
        _release();
    }
    // The status an access-log line gives a request whose client left
    // before its answer was whole and whose program did not run to its end
    // (it never started, or it was ended): the one log readers know for it.
    static constexpr unsigned long kClientLeft = 499;
    // Told at the end, once: whether the connection closes after the answer.
    void setFinished(std::function<void(bool)> finished) { _finished = std::move(finished); }

    Next output(const char* data, size_t size) override {
        if (_abandoned.load()) {
            // Nobody waits for the answer: only its head is read (for the
            // status its access-log line gives), the rest is dropped.
            if (!_headDone && _output.Length() < KrCGIHead::kMaxHeadLength) {
                _output.sputn(data, static_cast<std::streamsize>(size));
                _headDone = _head.parse(_output.Begin(), _output.Length()) ==
                            KrCGIHead::KR_CGI_HEAD_COMPLETE;
            }
            return KR_CGI_MORE;
        }
        if (_streaming) {
            size = static_cast<size_t>(std::min<uint64_t>(size, _bodyLeft));
            if (size > 0)
                _queueBody(data, size);
            if (_bodyLeft != UINT64_MAX && (_bodyLeft -= size) == 0)
                return KR_CGI_DONE;
            return _roomLeft() ? KR_CGI_MORE : KR_CGI_PAUSE;
        }
        if (_settled)
            return KR_CGI_STOP;
        if (!_headDone) {
            _output.sputn(data, static_cast<std::streamsize>(size));
            const KrCGIHead::State state = _head.parse(_output.Begin(), _output.Length());
            if (state == KrCGIHead::KR_CGI_HEAD_BAD) {
                // Nothing behind a broken head can be trusted to be a page.
                _answer(502, false);
                return KR_CGI_STOP;
            }
            if (state == KrCGIHead::KR_CGI_HEAD_INCOMPLETE)
                return KR_CGI_MORE;
            _headDone = true;
            // A program that announces its length has answered once that
            // much has come, whatever it goes on doing (PHP's way to let
            // the client go before work after the page). The answer goes
            // out with that length, not in chunks.
            const long long announced =
                KrCGIHead::carriesBody(_head.status()) ? _head.contentLength() : -1;
            if (announced >= 0) {
                _announced = true;
                _chunked = false;
                _bodyLeft = _headOnly ? 0 : static_cast<uint64_t>(announced);
            }
            if (_headOnly) {
                // The answer to HEAD is the head alone: what follows it is
                // read and dropped.
                _truncateOutput(0);
                return _bodyLeft == 0 ? KR_CGI_DONE : KR_CGI_MORE;
            }
        } else if (_headOnly) {
            return KR_CGI_MORE;
        } else {
            _output.sputn(data, static_cast<std::streamsize>(size));
        }
        if (static_cast<uint64_t>(_output.Length()) - _head.length() >= _bodyLeft) {
            // All it announced has come: the answer is whole (and what it
            // wrote beyond that is not part of it).
            _truncateOutput(_bodyLeft);
            _bodyLeft = 0;
            return KR_CGI_DONE;
        }
        if (!_canStream())
            return KR_CGI_MORE;
        if (static_cast<size_t>(_output.Length()) - _head.length() >=
            KrConnectionRecord::kOutputWindow) {
            _startStreaming();
            return _roomLeft() ? KR_CGI_MORE : KR_CGI_PAUSE;
        }
        return KR_CGI_HOLD;
    }

    Next flush() override {
        if (_settled || !_headDone || !_canStream())
            return KR_CGI_MORE;
        _startStreaming();
        return _roomLeft() ? KR_CGI_MORE : KR_CGI_PAUSE;
    }

    void ended(KrCGIOutcome outcome, int status) override {
        if (outcome == KrCGIOutcome::Left) {
            _tellStatus(kClientLeft);
            _release(true);
            KrTransceiver::flushLogging();
            return;
        }
        const bool died = outcome == KrCGIOutcome::Finished && WIFSIGNALED(status);
        // A body that ends before the program says it does (by dying, or
        // short of the length it announced): cut short.
        const bool bodyShort = _headDone && _bodyLeft != 0 && (died || _announced) &&
                               KrCGIHead::carriesBody(_head.status());
        // The connection closes after the answer: nothing behind an answer
        // cut short or cancelled is answered.
        bool last = false;
        if (_streaming) {
            if (_chunked && outcome == KrCGIOutcome::Finished && !died) {
                static const char kLast[] = "0\r\n\r\n";
                _queueRaw(kLast, sizeof kLast - 1);
            } else {
                // Cut short, or an answer that ends with the connection.
                last = bodyShort || !_announced;
            }
        } else if (!_settled) {
            switch (outcome) {
                case KrCGIOutcome::Cancelled:
                    if (_abandoned.load()) {
                        // Its client has gone before any of the answer was
                        // sent: its line gives the status it would have had.
                        _tellStatus(_headDone ? _head.status() : 502);
                    } else {
                        // The server stops before the program answered.
                        _answer(503, false, kStoppingPage);
                    }
                    last = true;
                    break;
                case KrCGIOutcome::CannotStart:
                    _answer(500, false);
                    break;
                case KrCGIOutcome::NoDescriptors: {
                    // A want that passes, not a fault of the program's.
                    static const std::string kNoDescriptors = KrUnavailableAnswer(
                        "The server has too many files open to start the program now.");
                    KrDescriptorReserve::process().reportShortage(
                        "Could not start a program for " + _request.path(), status);
                    _answerUnavailable(kNoDescriptors);
                    break;
                }
                case KrCGIOutcome::TimedOut:
                    // Only a run whose caller waits in memory has a time
                    // limit: a head without a body is whole, anything else
                    // was not answered in time.
                    if (_headDone && (_headOnly || !KrCGIHead::carriesBody(_head.status())))
                        _answer(200, true);
                    else
                        _answer(504, false);
                    break;
                case KrCGIOutcome::OutputTooLarge:
                    _answer(502, false);
                    break;
                case KrCGIOutcome::Left:
                    break;  // (answered above)
                case KrCGIOutcome::Finished:
                    if (!_headDone)
                        // Its head is judged by the writer (502 when bad).
                        _answer(died ? 502 : 200, !died);
                    else if (died && !KrCGIHead::carriesBody(_head.status()))
                        _answer(502, false);
                    else if (_headOnly || !bodyShort)
                        // To HEAD the head alone, as GET gets it.
                        _answer(200, true);
                    else if (!_connection)
                        _answer(502, false);
                    else {
                        // Died after its head: what it wrote goes out, and
                        // the connection closes without a complete end.
                        _startStreaming();
                        last = true;
                    }
                    break;
            }
        }
        _release(last);
        // A streamed answer's access-log line is made as it ends.
        KrTransceiver::flushLogging();
    }

    void resume(KrTransceiverConnection&) override {
        if (std::shared_ptr<KrCGIRun> run = _run.lock())
            _runner.resume(run);
    }

    // The connection is gone: the program still finishes what it started
    // (see KrCGIRunner::abandon) and tells its end then.
    bool cancel() override {
        _abandoned.store(true);
        if (std::shared_ptr<KrCGIRun> run = _run.lock())
            _runner.abandon(run);
        return false;
    }

  private:
    bool _canStream() const {
        return _connection && !_headOnly && KrCGIHead::carriesBody(_head.status());
    }

    bool _roomLeft() const {
        return _connection->pendingOutputBytes() < KrConnectionRecord::kOutputWindow;
    }

    // Keeps the head and `body` bytes of what follows it.
    void _truncateOutput(uint64_t body) {
        const std::string kept(_output.Begin(), _head.length() + body);
        _output.Reset();
        _output.sputn(kept.data(), static_cast<std::streamsize>(kept.size()));
    }

    // Sends the answer: `fromOutput` makes it of the program's output (its
    // head lifted by the writer), else it is `status` with `page` (an HTML
    // text, may be empty) as its body.
    void _answer(unsigned long status, bool fromOutput, std::string_view page = {}) {
        _settled = true;
        // Told first: should the connection go meanwhile, its line still
        // gives the status (the writer gives the exact one when it writes).
        _tellStatus(fromOutput && _headDone ? _head.status() : status);
        std::shared_ptr<KrXResponseHeader> answer(_request.makeResponse());
        answer->setStatus(status);
        if (fromOutput) {
            answer->setLiftCGIHead();
            answer->body().sputn(_output.Begin(), static_cast<std::streamsize>(_output.Length()));
        } else {
            answer->body().sputn(page.data(), static_cast<std::streamsize>(page.size()));
            if (!page.empty())
                answer->contentType() = "text/html; charset=utf-8";
        }
        _output.Reset();
        answer->setState(KR_JOB_READY);
        _send(answer);
    }

    // Answers with `text`, a 503 made as a program's output is (the writer
    // takes its head fields as it takes a program's).
    void _answerUnavailable(const std::string& text) {
        _output.Reset();
        _output.sputn(text.data(), static_cast<std::streamsize>(text.size()));
        _headDone =
            _head.parse(_output.Begin(), _output.Length()) == KrCGIHead::KR_CGI_HEAD_COMPLETE;
        _answer(503, true);
    }

    // The head and what came so far go now; the rest follows as it comes.
    void _startStreaming() {
        _settled = true;
        _streaming = true;
        _tellStatus(_head.status());
        std::shared_ptr<KrXResponseHeader> answer(_request.makeResponse());
        answer->setStatus(200);
        answer->setLiftCGIHead();
        answer->setStreamed(_chunked);
        answer->body().sputn(_output.Begin(), static_cast<std::streamsize>(_output.Length()));
        if (_bodyLeft != UINT64_MAX)
            _bodyLeft -= static_cast<uint64_t>(_output.Length()) - _head.length();
        std::string().swap(_scratch);
        _output.Reset();
        answer->setState(KR_JOB_READY);
        _send(answer);
    }

    // The status the connection's line gives the answer.
    void _tellStatus(unsigned long status) {
        if (_connection)
            _connection->_setAnswerStatus(status);
    }

    void _queueBody(const char* data, size_t size) {
        if (!_chunked) {
            _queueRaw(data, size);
            return;
        }
        char line[24];
        const int length = std::snprintf(line, sizeof line, "%zx\r\n", size);
        _scratch.assign(line, static_cast<size_t>(length));
        _scratch.append(data, size);
        _scratch.append("\r\n", 2);
        _queueRaw(_scratch.data(), _scratch.size());
    }

    void _queueRaw(const char* data, size_t size) {
        size_t queued = 0;
        _connection->queueOutput(data, size, queued);
    }

    void _send(const std::shared_ptr<KrXResponseHeader>& answer) {
        if (KrTransceiver* owner = _client.attachedTransceiver()) {
            owner->send(_client, answer, _callback, _request.taskName());
            KrTransceiver::flushLogging();
        }
    }

    // The last touch: the server may read the connection's next request
    // (or, with `last`, closes it).
    void _release(bool last = false) {
        std::function<void(bool)> finished;
        finished.swap(_finished);
        if (finished)
            finished(last);
    }

    KrTransceiverClient& _client;
    const std::function<bool(KrServerCallback_t&)> _callback;
    KrXHeader& _request;
    KrCGIRunner& _runner;
    std::shared_ptr<KrTransceiverConnection> _connection;
    std::weak_ptr<KrCGIRun> _run;
    std::function<void(bool)> _finished;
    const bool _headOnly;
    // The body goes in chunks (to an HTTP/1.1 peer, when the program
    // announced no length).
    bool _chunked;
    // The program announced its body's length (see _bodyLeft).
    bool _announced = false;
    KrStringBuf _output;
    std::string _scratch;
    KrCGIHead _head;
    // Body bytes the program announced and has not written yet (UINT64_MAX:
    // none announced; 0 to HEAD once an announced length is read).
    uint64_t _bodyLeft = UINT64_MAX;
    bool _headDone = false;
    bool _settled = false;
    bool _streaming = false;
    // Its connection has gone (set by the connection's turn holder, read on
    // the runner's thread).
    std::atomic<bool> _abandoned{false};
};

}  // namespace

std::shared_ptr<KrCGIRun> KrTransceiverClient::_makeRun(
    const std::string& program, const std::map<std::string, std::string>& environment,
    KrStringBuf& input) {
    auto run = std::make_shared<KrCGIRun>();
    run->program = ResolveProgram(program);
    run->argument0 = program;
    run->environment = ProgramEnvironment(environment);
    run->input = &input;
    return run;
}

bool KrTransceiverClient::_runPHP(const std::string& scriptPath, const std::string&,
                                  KrXHeader& request) {
    return _runProgram(phpBinName, scriptPath, request);
}

bool KrTransceiverClient::_runCGI(const std::string& programPath, const std::string&,
                                  KrXHeader& request) {
    return _runProgram(programPath, programPath, request);
}

bool KrTransceiverClient::_runProgram(const std::string& program, const std::string& scriptPath,
                                      KrXHeader& request) {
    std::map<std::string, std::string> environment{{"REDIRECT_STATUS", "CGI"},
                                                   {"SCRIPT_FILENAME", scriptPath}};
    struct stat info;
    if (::stat(scriptPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (!_cgiEnvironment(scriptPath, environment, request))
        return false;
    KrTransceiver* owner = attachedTransceiver();
    std::shared_ptr<KrTransceiverConnection> connection =
        owner != nullptr && request.canAnswerLater() ? owner->findConnection(request.routeToken(0))
                                                      : nullptr;
    // The request's connection has gone: nobody is left to answer, and
    // nothing of what it sent is run.
    if (owner != nullptr && request.canAnswerLater() && !connection)
        return true;
    std::shared_ptr<KrCGIRun> run = _makeRun(program, environment, request.body());
    run->inputFile = request.bodyFile();
    auto answer = std::make_shared<CGIAnswer>(*this, serverCallback, request, _runner, connection);
    run->sink = answer;
    answer->setRun(run);
    if (run->program.empty()) {
        // Nothing to start: answered at once, as a program that cannot
        // start; a missing interpreter as a gateway that is not there.
        if (program != scriptPath) {
            _reportMissingInterpreter(program);
            answer->answerNow(502, MissingInterpreterPage(program));
        } else {
            answer->answerNow(500);
        }
        return true;
    }
    if (connection) {
        // The server waits for this answer before the connection's next
        // request and goes on with other connections meanwhile; the request
        // stays alive until `finished` has been called.
        request.answerLater([this, run, answer, connection](std::function<void(bool)> finished) {
            answer->setFinished(std::move(finished));
            // Started by the connection's turn holder, as the answer it is
            // making: a connection that goes from now on abandons the
            // program. (One that cannot take the answer takes no program.)
            if (!connection->_beginAnswering(answer)) {
                answer->answerNow(500);
                return;
            }
            // It waits for a slot as long as its client stays; only a
            // runner that has stopped takes none.
            if (!_runner.submit(run))
                answer->answerNow(503, CGIAnswer::kStoppingPage);
        });
        return true;
    }
    // No server to wait for it: the answer is made before this returns,
    // of output kept in memory until the end (and so capped, in size and
    // time: nobody can leave it).
    run->outputLimit = cgiOutputLimit.load();
    run->runLimit = std::chrono::milliseconds(cgiTimeLimitMs.load());
    if (_runner.onRunnerThread()) {
        // Waiting here would be waiting for itself.
        answer->answerNow(500);
        return true;
    }
    std::promise<void> over;
    std::future<void> done = over.get_future();
    answer->setFinished([&over](bool) { over.set_value(); });
    if (!_runner.submit(run)) {
        answer->setFinished(nullptr);
        answer->answerNow(503, CGIAnswer::kStoppingPage);
        return true;
    }
    done.wait();
    return true;
}

void KrTransceiverClient::_reportMissingInterpreter(const std::string& program) {
    // Once per client: every PHP request would say it again.
    if (!_interpreterMissingTold.exchange(true))
        std::cerr << program << " not found in the PATH: PHP pages get 502" << std::endl;
}

bool KrTransceiverClient::_execCGIChild(const std::string& program,
                                        const std::map<std::string, std::string>& environment,
                                        KrStringBuf& input, KrStringBuf& output,
                                        KrCGIOutcome* outcome) {
    std::shared_ptr<KrCGIRun> run = _makeRun(program, environment, input);
    run->outputLimit = cgiOutputLimit.load();
    run->runLimit = std::chrono::milliseconds(cgiTimeLimitMs.load());
    auto sink = std::make_shared<CollectingSink>(output);
    run->sink = sink;
    KrCGIOutcome result = KrCGIOutcome::CannotStart;
    // (Never on the runner's thread, which would wait for itself.)
    if (!run->program.empty() && !_runner.onRunnerThread() && _runner.submit(run))
        result = sink->wait();
    if (outcome != nullptr)
        *outcome = result;
    return result == KrCGIOutcome::Finished;
}

void KrTransceiverClient::setCGIConcurrency(size_t running, size_t unattended) {
    _runner.setLimits(running, unattended);
}

size_t KrTransceiverClient::waitingPrograms() {
    return _runner.queuedCount();
}

void KrTransceiverClient::_stopPrograms() {
    _runner.stop();
}
