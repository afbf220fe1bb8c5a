#pragma once
// The request handler of the web server: registered with the transceiver, it
// opens listeners through it (openServer) and receives every complete message
// read on a server it opened (dispatch). An HTTP request is offered to the
// application first, then to the files and CGI programs below the base
// directory, and anything left gets the not-found page. Every answer leaves
// through KrTransceiver::send.
//
// `mutex` guards `transceiver` and `openedServers`; it is never held while an
// answer is sent, the application or a CGI program runs. The transceiver and
// the application are not owned; the transceiver outlives the answers its
// servers' threads send.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/KrFileHandle.h"
#include "foundation/KrJob.h"
#include "foundation/KrStringBuf.h"
#include "transport/KrCGIRunner.h"
#include "transport/KrFileWatch.h"
#include "transport/KrServerCallback_t.h"
#include "transport/KrWebApplication.h"

class KrTransceiver;
class KrXHeader;
class KrXResponseHeader;
class KrXServerHeader;

class KrTransceiverClient : public KrJob {
  public:
    // A CGI program (or php-cgi) has no time limit while a connection
    // carries its answer. A run whose caller waits for it in memory
    // (_execCGIChild, an answer with no connection) has this long in all
    // (504 beyond).
    static constexpr std::chrono::milliseconds kDefaultCGITimeLimit{30000};
    // Output kept in memory until a program ends (_execCGIChild, or an
    // answer with no connection to stream to) ends the program beyond this
    // many bytes (502); answers on a connection stream and have no cap.
    static constexpr size_t kDefaultCGIOutputLimit = 64u << 20;

    KrTransceiverClient(std::function<bool(KrServerCallback_t&)> callback,
                        const std::map<std::string, std::string>& options,
                        KrWebApplication* application);
    ~KrTransceiverClient() override;

    // Kind 6 with "ctask": leaves that task. Always true.
    bool onMessage(const KrJobMessage& message) override;
    // Offers an HTTP request to the application; true when an answer was sent.
    virtual bool handleApplicationRequest(const std::string& serverName, KrXHeader& request);
    // Answers of kind 9: nothing to do; true.
    virtual bool onSocketAnswer(const std::string& serverName, KrXHeader& answer);
    // Answers of kinds 3 and 4: marks the answer handled; true.
    virtual bool onHTTPAnswer(const std::string& serverName, KrXHeader& answer);
    // Answers of kind 6: nothing to do; true.
    virtual bool onQUIVOAnswer(const std::string& serverName, KrXHeader& answer);
    // Stores the transceiver when none is stored (true); else keeps the old one.
    virtual bool attachTransceiver(KrTransceiver* transceiver);
    // Clears the transceiver when it is the one given.
    virtual void detachTransceiver(KrTransceiver* transceiver);
    virtual void spareHookA();
    // Every complete message read on a server; true when finished with it,
    // false when it stays pending.
    virtual bool dispatch(const std::string& serverName, KrXHeader& header);
    virtual void spareHookB();
    // Asked when a head is complete; true lets the body be read.
    virtual bool onHeaderComplete();
    // Whether a complete request may be answered on the transceiver's own
    // threads (its receive loop) rather than on a server worker: true for
    // what the client answers itself (files, CGI programs, the not-found
    // page), false for what goes to the application, which may take its
    // time. A client whose dispatch does more than this one's says false.
    virtual bool answersInline(KrXHeader& request);
    // Sends an outgoing request; the name send returns ("" when not sent).
    virtual std::string _sendRequest(std::shared_ptr<KrXHeader> request);
    // Opens a listener through the transceiver; the name the transceiver
    // returns (the header's job id) is recorded with role 1. "" without a
    // transceiver or when nothing was opened.
    virtual std::string openServer(std::shared_ptr<KrXServerHeader> serverHeader);

    bool _handleWebRequest(const std::string& serverName, KrXHeader& request);
    bool _handleQUIVORequest(const std::string& serverName, KrXHeader& request);

    // --- Files and CGI below the base directory ---
    bool _serveFile(const std::string& serverName, KrXHeader& request);
    bool _serveResource(const std::string& path, const std::string& serverName, KrXHeader& request);
    bool _runPHP(const std::string& scriptPath, const std::string& serverName, KrXHeader& request);
    bool _runCGI(const std::string& programPath, const std::string& serverName, KrXHeader& request);
    // Adds the request's variables to `environment`; false for a method
    // other than GET and POST.
    bool _cgiEnvironment(const std::string& scriptPath,
                         std::map<std::string, std::string>& environment, KrXHeader& request);
    // Runs `program` with `environment`, feeds it `input` from its read
    // position and appends its output to `output`, waiting for its end
    // (`outcome`, when given, tells how it ended). True when it ran to its end.
    bool _execCGIChild(const std::string& program,
                       const std::map<std::string, std::string>& environment, KrStringBuf& input,
                       KrStringBuf& output, KrCGIOutcome* outcome = nullptr);

    // Role of a dispatch key: 1 listener, 2 outgoing request, 0 unknown.
    int openedRole(const std::string& key);
    KrTransceiver* attachedTransceiver();
    // Limits of CGI runs (tests shorten them).
    void setCGILimits(std::chrono::milliseconds time, size_t output);
    // How many programs run at once for clients that wait for them (one
    // that works on after its answer has ended still counts until it exits;
    // later requests wait for a slot as long as their clients stay), and how
    // many more may run on to their ends after their clients left (one whose
    // client leaves beyond that is ended). Both default to two per core the
    // process may use, 4 to 64.
    void setCGIConcurrency(size_t running, size_t unattended);
    // Requests waiting for a program to run.
    size_t waitingPrograms();
    // Ends every running program and refuses new ones (the transceiver's
    // shutdown); returns once they have been reaped.
    void _stopPrograms();

  protected:
    // Sends an answer when a transceiver is attached.
    void _send(std::shared_ptr<KrXHeader> answer, const std::string& taskName);
    // The not-found answer (the page, or an empty body for QUIVO).
    void _sendNotFound(KrXHeader& request, bool withPage);
    // Runs `program` for the request and sends what it wrote: after
    // dispatch when the server can wait for the answer, else before it
    // returns.
    bool _runProgram(const std::string& program, const std::string& scriptPath, KrXHeader& request);
    // A run of `program` (looked up on PATH when it has no "/") with the
    // process's environment and `environment`, fed `input`, under the
    // client's limits; its sink is the caller's to set.
    // Says on standard error, once, that the PHP interpreter is missing.
    void _reportMissingInterpreter(const std::string& program);
    std::atomic<bool> _interpreterMissingTold{false};
    std::shared_ptr<KrCGIRun> _makeRun(const std::string& program,
                                       const std::map<std::string, std::string>& environment,
                                       KrStringBuf& input);

    std::mutex mutex;
    KrTransceiver* transceiver = nullptr;
    std::map<std::string, int> openedServers;
    std::string baseDirectory;
    std::string cgiUrlPrefix = "cgi-bin/";
    std::string cgiDirPrefix = "cgi-bin/";
    std::string phpSuffix = ".php";
    std::string phpBinName;
    std::function<bool(KrServerCallback_t&)> serverCallback;
    std::map<std::string, std::string> options;
    std::string contextCommandUrl;
    std::string idParameterName = "quivoid";
    std::string commandParameterName = "quivocommand";
    KrWebApplication* application;
    // Atomic: read by every request's CGI run.
    std::atomic<int64_t> cgiTimeLimitMs{kDefaultCGITimeLimit.count()};
    std::atomic<size_t> cgiOutputLimit{kDefaultCGIOutputLimit};

  private:
    // The base directory as files are served from it: its name with a
    // trailing slash, its real path and the directory opened. Looked up
    // again once a second, and at once when `baseDirectory` changes.
    struct ServedRoot {
        std::string configured;
        std::string base;
        std::string real;
        std::shared_ptr<KrFileHandle> directory;
        // The directory's identity: kept files belong to the one they were
        // read below.
        dev_t device;
        ino_t inode;
        int64_t checkedAt;
    };
    // The root as it is now.
    std::shared_ptr<const ServedRoot> _currentRoot();
    // Guards `_root`.
    std::mutex _rootLock;
    std::shared_ptr<const ServedRoot> _root;

    // Small files as last read, by their path below the base directory.
    // Freshness rule: a kept file is answered as it was read only if, when
    // its request is served, `_fileWatch` holds no event and a stat within
    // the last second found its path naming the same file with the same
    // size and times; otherwise the path is looked at again (on every
    // request for a file whose watch could not be made).
    struct CachedFile {
        dev_t device;
        ino_t inode;
        off_t size;
        timespec modified;
        timespec changed;
        std::string content;
        const char* type;
        dev_t rootDevice;
        ino_t rootInode;
        bool watched;
        // Coarse steady clock, microseconds: the last stat that found the
        // file unchanged.
        mutable std::atomic<int64_t> checkedAt;
    };
    static constexpr size_t kCachedFileSize = 64 * 1024;
    static constexpr size_t kCacheBytes = 16u << 20;
    // How long a change that makes no event (a write through a shared
    // mapping) can go unseen, in microseconds.
    static constexpr int64_t kUnwatchedChangeDelay = 1000000;
    // The kept file at `relative`, or null; `holder` keeps it for the caller.
    const CachedFile* _cachedFile(const ServedRoot& root, const std::string& relative,
                                  std::shared_ptr<const CachedFile>& holder);
    // Watches a file about to be kept; false when it must be checked by a
    // stat per request. `generation` tells _cacheFile whether the watch is
    // still in place.
    bool _watchForCache(const KrFileHandle& root, const std::string& relative,
                        uint64_t& generation);
    void _cacheFile(const std::string& relative, std::shared_ptr<const CachedFile> file,
                    uint64_t generation);
    // Answers a folder named without its closing "/" (`target`, decoded)
    // with 301 to the same path with it, the query kept. True.
    bool _redirectToFolder(KrXHeader& request, const std::string& target);
    // Answers 503 for a file at `path` that could not be opened for want of
    // descriptors (`error`), and says so on standard error.
    bool _answerUnavailable(KrXHeader& request, const std::string& path, int error);
    // Answers 200 with the kept content of a file.
    void _sendCached(KrXHeader& request, const CachedFile& file);
    // Guards the cache, its size in bytes and `_fileWatch`.
    std::mutex _cacheLock;
    KrFileWatch _fileWatch;
    std::unordered_map<std::string, std::shared_ptr<const CachedFile>> _cache;
    size_t _cacheSize = 0;
    // Declared last, so it goes first: its programs' answers use the rest.
    KrCGIRunner _runner;
};
