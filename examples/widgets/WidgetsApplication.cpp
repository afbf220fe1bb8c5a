#include "WidgetsApplication.h"

#include <iostream>
#include <map>
#include <memory>
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
    return new WidgetsApplication(viewport->GetStorage(), std::move(listeners),
                                  std::move(options));
}

void WidgetsApplication::FillStorage(KrPersistentAppStorage& storage) {
    storage.SetResources(WidgetsResources());
    storage.SetVariable("title", "quivo widgets");
}

KrHTMLKontextN* WidgetsApplication::CreateKontext(const std::string&) {
    const std::string id = MakeUniqueId("page") + "-" + std::to_string(++_pages);
    return AddKontext(new WidgetsPage(this, id));
}
