#include "transport/KrWebApplication.h"

void KrWebApplication::DispatchToKontext(const std::string&, KrXHeader&, KrXResponseHeader&,
                                         std::string) {}

KrHTMLKontextN* KrWebApplication::CreateKontext(const std::string&) {
    return nullptr;
}

void KrWebApplication::HandleKontextRequest(KrHTMLKontextN&, KrXHeader&, KrXResponseHeader&,
                                            std::string) {}

bool KrWebApplication::HasResource(const std::string&, KrXHeader&) {
    return false;
}

bool KrWebApplication::ServeResource(const std::string&, KrXHeader&) {
    return false;
}
