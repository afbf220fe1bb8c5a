#pragma once
// A web client that records the outgoing requests it sends and, once their
// answers arrive, the answer bodies and the image sources found in them.
// `_recordsLock` guards both record maps.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "transport/KrTransceiverClient.h"

class KrTransceiverClientWEBClient : public KrTransceiverClient {
  public:
    KrTransceiverClientWEBClient(std::function<bool(KrServerCallback_t&)> callback,
                                 const std::map<std::string, std::string>& options);
    // Leaves the job registry before anything of it is torn down: a message
    // being delivered (a refused request's report) finishes first.
    ~KrTransceiverClientWEBClient() override;

    // Sends as the base does, then records the request under the returned name.
    std::string _sendRequest(std::shared_ptr<KrXHeader> request) override;
    // Moves the record of the request answered to the done records, with
    // the answer's body and its image sources. Marks the answer handled; true.
    bool onHTTPAnswer(const std::string& serverName, KrXHeader& answer) override;

    // By request name; "" for a name without a record.
    std::string requestHeadText(const std::string& name);
    std::string requestBodyText(const std::string& name);
    std::string allAnswersText(const std::string& name);
    std::string answerBodyText(const std::string& name);
    // The image map as lines "key : value".
    std::string imageSourcesText(const std::string& name);
    void eraseDone(const std::string& name);
    bool hasDone(const std::string& name);

    struct Record {
        std::string name;
        std::string head;
        std::string body;
        std::string sentAt;
        std::string url;
        std::string directory;
        std::unique_ptr<KrStringBuf> answerBody;
        std::string lastAnswer;
        std::string allAnswers;
        std::map<std::string, std::string> images;
    };
    // Records the answer body of `record` and the image sources in it.
    static void takeAnswer(Record& record, KrXHeader& answer);

  private:
    // Under _recordsLock: the named record, with `doneOnly` only once answered.
    const Record* _find(const std::string& name, bool doneOnly);
    // The record's `field` (a copy, taken under the lock), or "".
    std::string _text(const std::string& name, bool doneOnly, std::string Record::*field);

    std::mutex _recordsLock;
    std::map<std::string, Record> answerRecords;
    std::map<std::string, Record> doneRecords;
};
