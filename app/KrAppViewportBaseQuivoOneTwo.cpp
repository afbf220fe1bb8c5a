#include "app/KrAppViewportBaseQuivoOneTwo.h"

#include <cctype>
#include <iostream>
#include <map>
#include <utility>
#include <vector>

#include "app/KrListenerRecord.h"
#include "app/KrQuivoApplication2.h"
#include "document/KrConfigValue.h"
#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrLogger.h"

namespace {

const char* const kConfigFile = "./quivoone.xml";

std::string configValue(const std::string& section, const std::string& key,
                        const std::string& fallback) {
    return ReadConfigValue(kConfigFile, "quivoone", "quivoone", section, key, fallback);
}

}  // namespace

KrAppViewportBaseQuivoOneTwo::KrAppViewportBaseQuivoOneTwo(std::string name1, std::string name2,
                                                           std::string baseDirectory)
    : KrAppViewportBase(std::move(name1), std::move(name2)),
      baseDirectory(std::move(baseDirectory)) {}

KrAppViewportBaseQuivoOneTwo::~KrAppViewportBaseQuivoOneTwo() = default;

int KrAppViewportBaseQuivoOneTwo::ParsePort(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    unsigned long port = 0;
    size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        port = port * 10 + static_cast<unsigned long>(text[i] - '0');
        if (port > 65535)
            break;
    }
    if (digits == 0 || port < 1 || port > 65535)
        throw KrException("invalid port '" + text + "' in " + kConfigFile +
                              ": expected a number from 1 to 65535",
                          __LINE__, "app");
    return static_cast<int>(port);
}

void KrAppViewportBaseQuivoOneTwo::CreateApp(bool flag) {
    std::map<std::string, std::string> options;
    options["no_standard_handler"] = "true";
    options["no_browser_popup"] = "true";
    options["_baseDirectoryHTTP"] = baseDirectory.empty() ? CurrentDirectory() : baseDirectory;
    const std::string cgiPath = configValue("quivooneservercgibin", "path", "");
    options["cgibinpath"] = cgiPath.empty() ? "" : options["_baseDirectoryHTTP"] + "/" + cgiPath;

    std::cout << "appname: " << GetAppName(flag) << "  " << (flag ? 1 : 0) << std::endl;

    const std::string address = configValue("quivooneserver", "address", "127.0.0.1");
    const int port = ParsePort(configValue("quivooneserver", "port", "8000"));
    std::vector<KrListenerRecord> listeners;
    listeners.emplace_back(address, port, KR_PROTOCOL_HTTP);

    app = new KrQuivoApplication2(storage, std::move(listeners), std::move(options));
    std::cout << "going to run...\n\n\nNOTICE:\nEnter   quit   to terminate the program."
              << std::endl;
}

KrAppViewportBase* CreateAppViewport(int, char**, int) {
    g_logger.setChannel(4, &std::cout);
    return new KrAppViewportBaseQuivoOneTwo("XQuivoone", "quivoone", "");
}
