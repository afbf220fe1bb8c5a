#include "transport/KrHTML_ErrorMsg404.h"

#include "html/html.h"

KrHTML_ErrorMsg404::KrHTML_ErrorMsg404(const std::string& title, const std::string& bodyMarkup,
                                       const std::string& linkTarget, const std::string& linkText)
    : KrHTML_Document2(true) {
    auto* titleElement = new KrHTML_title2();
    titleElement->AddChild(new KrHTML_text2(title));
    AddToHead(titleElement);
    AddToBody(new KrHTML_text2(bodyMarkup));
    AddToBody(new KrHTML_br2());
    AddToBody(new KrHTML_a2(linkTarget, linkText));
}

KrHTML_ErrorMsg404::~KrHTML_ErrorMsg404() = default;
