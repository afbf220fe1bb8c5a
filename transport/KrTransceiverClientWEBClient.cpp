#include "transport/KrTransceiverClientWEBClient.h"

#include <ostream>

#include "document/KrXMLGenericElement.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrStringUtils.h"
#include "foundation/KrURL.h"
#include "html/KrDocumentReader.h"
#include "transport/KrXHeader.h"

KrTransceiverClientWEBClient::KrTransceiverClientWEBClient(
    std::function<bool(KrServerCallback_t&)> callback,
    const std::map<std::string, std::string>& options)
    : KrTransceiverClient(std::move(callback), options, nullptr) {}

KrTransceiverClientWEBClient::~KrTransceiverClientWEBClient() {
    _leaveRegistry();
}

std::string KrTransceiverClientWEBClient::_sendRequest(std::shared_ptr<KrXHeader> request) {
    const std::string name = KrTransceiverClient::_sendRequest(request);
    if (name.empty() || !request)
        return name;
    Record record;
    record.name = name;
    KrStringBuf head;
    {
        std::ostream out(&head);
        request->write(out);
    }
    head.CopyOut(record.head, 0, UINT64_MAX);
    request->body().CopyOut(record.body, 0, UINT64_MAX);
    record.sentAt = NowSecondsDotMillis();
    record.url = request->urlText();
    record.directory = request->directoryOfPath();
    std::lock_guard<std::mutex> guard(_recordsLock);
    answerRecords[name] = std::move(record);
    return name;
}

void KrTransceiverClientWEBClient::takeAnswer(Record& record, KrXHeader& answer) {
    record.answerBody = answer.takeBody();
    std::string text;
    record.answerBody->CopyOut(text, 0, UINT64_MAX);
    record.lastAnswer = text;
    record.allAnswers += text;
    record.images["AA noch nix fertig"] = "nixda";
    // Sources resolve against scheme, host and port of the request's URL.
    const size_t authority = record.url.find("://");
    const std::string base = authority == std::string::npos
                                 ? record.url
                                 : record.url.substr(0, record.url.find('/', authority + 3));
    for (size_t start = text.find("<img"); start != std::string::npos;
         start = text.find("<img", start + 4)) {
        const size_t end = text.find("/>", start);
        if (end == std::string::npos)
            break;
        std::string error;
        const std::string fragment = text.substr(start, end + 2 - start);
        std::unique_ptr<KrXMLComplexElement> element(
            KrDocumentReader().ParseString(fragment, 0, nullptr, "html", error, 1));
        auto* image = dynamic_cast<KrXMLGenericElement*>(element.get());
        if (image == nullptr)
            continue;
        const std::string source = image->GetAttributeString("src", "");
        record.images[std::to_string(start) + ":" + std::to_string(end)] =
            KrURL::resolve(source, base, Trim(record.directory, "/")).ToString();
    }
}

bool KrTransceiverClientWEBClient::onHTTPAnswer(const std::string& serverName, KrXHeader& answer) {
    {
        std::lock_guard<std::mutex> guard(_recordsLock);
        auto it = answerRecords.find(serverName);
        if (it != answerRecords.end()) {
            Record& done = doneRecords[serverName] = std::move(it->second);
            answerRecords.erase(it);
            takeAnswer(done, answer);
        }
    }
    answer.setHandled();
    return true;
}

const KrTransceiverClientWEBClient::Record* KrTransceiverClientWEBClient::_find(
    const std::string& name, bool doneOnly) {
    auto done = doneRecords.find(name);
    if (done != doneRecords.end())
        return &done->second;
    if (doneOnly)
        return nullptr;
    auto waiting = answerRecords.find(name);
    return waiting != answerRecords.end() ? &waiting->second : nullptr;
}

std::string KrTransceiverClientWEBClient::_text(const std::string& name, bool doneOnly,
                                                std::string Record::*field) {
    std::lock_guard<std::mutex> guard(_recordsLock);
    const Record* record = _find(name, doneOnly);
    return record != nullptr ? record->*field : "";
}

std::string KrTransceiverClientWEBClient::requestHeadText(const std::string& name) {
    return _text(name, false, &Record::head);
}

std::string KrTransceiverClientWEBClient::requestBodyText(const std::string& name) {
    return _text(name, false, &Record::body);
}

std::string KrTransceiverClientWEBClient::allAnswersText(const std::string& name) {
    return _text(name, true, &Record::allAnswers);
}

std::string KrTransceiverClientWEBClient::answerBodyText(const std::string& name) {
    return _text(name, true, &Record::lastAnswer);
}

std::string KrTransceiverClientWEBClient::imageSourcesText(const std::string& name) {
    std::lock_guard<std::mutex> guard(_recordsLock);
    const Record* record = _find(name, true);
    std::string text;
    if (record != nullptr) {
        for (const auto& [key, value] : record->images)
            text += key + " : " + value + "\n";
    }
    return text;
}

void KrTransceiverClientWEBClient::eraseDone(const std::string& name) {
    std::lock_guard<std::mutex> guard(_recordsLock);
    doneRecords.erase(name);
}

bool KrTransceiverClientWEBClient::hasDone(const std::string& name) {
    std::lock_guard<std::mutex> guard(_recordsLock);
    return doneRecords.count(name) != 0;
}
