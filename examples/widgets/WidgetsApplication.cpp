#include "WidgetsApplication.h"

#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "WidgetsPage.h"
#include "WidgetsResources.h"
#include "app/KrAppViewportBase.h"
#include "app/KrAppViewportBaseQuivoOneTwo.h"
#include "app/KrListenerRecord.h"
#include "app/KrPersistentAppStorage.h"
#include "document/KrConfigValue.h"
#include "foundation/KrFileUtils.h"

namespace {

std::string configValue(const std::string& key, const std::string& fallback) {
    return ReadConfigValue("./quivoone.xml", "quivoone", "quivoone", "quivooneserver", key,
                           fallback);
}

}  // namespace

KrQuivoApplication2* WidgetsApplication::Create(KrAppViewportBase* viewport, bool) {
    const std::string address = configValue("address", "127.0.0.1");
    const int port = KrAppViewportBaseQuivoOneTwo::ParsePort(configValue("port", "8000"));
    std::vector<KrListenerRecord> listeners;
    listeners.emplace_back(address, port, KR_PROTOCOL_HTTP);
    std::map<std::string, std::string> options = {
        {"_app_context_commandurl", "/"},
        {"_baseDirectoryHTTP", CurrentDirectory()},
        {"no_browser_popup", "true"},
    };
    std::cout << "Open http://" << address << ":" << port
              << "/ in a browser. Type quit to stop." << std::endl;
    auto* application =
        new WidgetsApplication(viewport->GetStorage(), std::move(listeners), std::move(options));
    // maxpages="N" keeps at most N pages: a smaller cap lets a page expire
    // at once (the browser test shows what an expired page does).
    const std::string maxPages = configValue("maxpages", "");
    if (!maxPages.empty()) {
        try {
            size_t used = 0;
            const unsigned long count = std::stoul(maxPages, &used);
            if (used != maxPages.size() || maxPages[0] == '-')
                throw std::invalid_argument(maxPages);
            application->SetMaxKontexts(count);
        } catch (const std::exception&) {
            std::cerr << "widgets: maxpages=\"" << maxPages << "\" is not a number; ignored"
                      << std::endl;
        }
    }
    return application;
}

void WidgetsApplication::FillStorage(KrPersistentAppStorage& storage) {
    storage.SetResources(WidgetsResources());
    storage.SetVariable("title", "quivo widgets");
}

KrHTMLKontextN* WidgetsApplication::CreateKontext(const std::string&) {
    const std::string id = MakeUniqueId("page") + "-" + std::to_string(++_pages);
    return AddKontext(new WidgetsPage(this, id));
}
