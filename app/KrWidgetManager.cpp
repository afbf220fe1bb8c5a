#include "app/KrWidgetManager.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "foundation/KrStringUtils.h"
#include "html/KrHTML_Document2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_script2.h"
#include "html/KrHTML_text2.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

const char* const kDummyName = "quivodummy";

// Fills the hidden widget form, posts it in the background and evaluates the
// answer; an answer that starts with a markup declaration is an error page
// and is not run. A 404 says the page's context is gone: the page tells the
// user (KrHTMLKontextN::PageGoneScript, appended).
const char* const kWidgetScript = R"JS(
function quivowidgethandlerP1(theobject, theaction, param1) {
  var theform = document.getElementById('quivowidgetform');
  document.getElementById('quivoactionfrm').setAttribute('value', theaction);
  document.getElementById('quivoactionparam1frm').setAttribute('value', param1);
  document.getElementById('quivoactionelementfrm').setAttribute('value', theobject.getAttribute('id'));
  quivosubmit(theform);
}
function quivowidgethandler(theobject, theaction) {
  quivowidgethandlerP1(theobject, theaction, 'none');
}
function quivowidgetsuccess() {
  if (this.status == 404) {
    quivopagegone();
    return;
  }
  var s = this.responseText;
  var at = s.search('<!');
  if (at < 0 || at > 10) {
    eval(s);
  }
}
function quivosubmit(theform) {
  if (!theform.getAttribute('action')) {
    return;
  }
  var request = new XMLHttpRequest();
  request.onload = quivowidgetsuccess;
  if (theform.getAttribute('method').toLowerCase() == 'post') {
    request.open('POST', theform.getAttribute('action'), true);
    request.send(new FormData(theform));
  }
}
)JS";

std::string widgetForm(const std::string& quivoid) {
    return "<br>\n"
           "<form action=\"quivowidget.handler\" id=\"quivowidgetform\" method=\"post\" "
           "enctype=\"multipart/form-data\" onsubmit=\"return false\">\n"
           "  <input type=\"hidden\" name=\"quivoid\" value=\"" +
           HTMLEscape(quivoid, false) +
           "\" />\n"
           "  <input type=\"hidden\" id=\"quivoactionfrm\" name=\"quivoaction\" value=\"none\" />\n"
           "  <input type=\"hidden\" id=\"quivoactionelementfrm\" name=\"quivoactionelement\" "
           "value=\"none\" />\n"
           "  <input type=\"hidden\" id=\"quivoactionparam1frm\" name=\"quivoactionparam1\" "
           "value=\"none\" />\n"
           "</form>\n<br><br>\n";
}

// A JavaScript statement on the page element with that id.
std::string onElement(const std::string& id, const std::string& statement) {
    return "document.getElementById(\"" + JSStringEscape(id) + "\")." + statement + ";\n";
}

std::string setAttributeCall(const std::string& attribute, const std::string& value) {
    return "setAttribute(\"" + JSStringEscape(attribute) + "\",\"" + JSStringEscape(value) + "\")";
}

std::string removalBlock(const std::string& id) {
    return "{\nvar elem = document.getElementById(\"" + JSStringEscape(id) +
           "\");\nelem.parentElement.removeChild(elem);\n}\n";
}

// The code an element's event attribute runs to post the event.
std::string handlerCall(const std::string& action) {
    return "quivowidgethandler(this, '" + JSStringEscape(action) + "');";
}

std::string param(KrXHeader& request, const std::string& name) {
    std::string value;
    if (!request.getParameter(name, value))
        return "nix";
    return value;
}

}  // namespace

KrWidgetManager::KrWidgetManager() {
    _dummy.name = kDummyName;
}

KrWidgetManager::~KrWidgetManager() {
    ClearHandlers();
    _unmarkAll();
}

bool KrWidgetManager::_isRegistered(const std::string& id) const {
    return _registry.count(id) != 0;
}

KrWidgetEntry& KrWidgetManager::FindEntry(const std::string& id) {
    const auto it = _registry.find(id);
    return it == _registry.end() ? _dummy : it->second;
}

std::string KrWidgetManager::IdOf(KrXMLGenericElement* element) {
    for (const auto& [id, entry] : _registry)
        if (entry.element == element)
            return id;
    return kDummyName;
}

void KrWidgetManager::_mark(KrXMLComplexElement* element) {
    if (element != nullptr)
        element->SetUserPointer(this);
}

// Unmarks the element unless the manager still keeps it somewhere.
void KrWidgetManager::_unmark(KrXMLComplexElement* element) {
    if (element == nullptr || element->GetUserPointer() != this || element == _document)
        return;
    for (const auto& entry : _registry)
        if (entry.second.element == element || entry.second.modalLock == element ||
            entry.second.modalEnvelope == element)
            return;
    if (std::find(_modalStack.begin(), _modalStack.end(), element) != _modalStack.end())
        return;
    element->SetUserPointer(nullptr);
}

void KrWidgetManager::_unmarkAll() {
    for (KrXMLGenericElement* content : _modalStack)
        if (content->GetUserPointer() == this)
            content->SetUserPointer(nullptr);
    _modalStack.clear();
    if (_document != nullptr && _document->GetUserPointer() == this)
        _document->SetUserPointer(nullptr);
    _document = nullptr;
}

void KrWidgetManager::OnElementDestroyed(KrXMLComplexElement* element) {
    if (_freed != nullptr)
        _freed->push_back(element);
    if (element == _document)
        _document = nullptr;
    // A forgotten modal's cover and box may stay in the page: they are
    // unmarked, so they never report to a manager that is gone.
    std::vector<KrXMLComplexElement*> orphans;
    for (auto it = _registry.begin(); it != _registry.end();) {
        KrWidgetEntry& entry = it->second;
        if (entry.modalLock == element)
            entry.modalLock = nullptr;
        if (entry.modalEnvelope == element)
            entry.modalEnvelope = nullptr;
        if (entry.element == element) {
            orphans.push_back(entry.modalLock);
            orphans.push_back(entry.modalEnvelope);
            it = _registry.erase(it);
        } else {
            ++it;
        }
    }
    _modalStack.erase(std::remove(_modalStack.begin(), _modalStack.end(), element),
                      _modalStack.end());
    for (KrXMLComplexElement* orphan : orphans)
        _unmark(orphan);
}

void KrWidgetManager::ClearHandlers() {
    std::map<std::string, KrWidgetEntry> registry;
    registry.swap(_registry);
    for (auto& [id, entry] : registry) {
        _unmark(entry.element);
        _unmark(entry.modalLock);
        _unmark(entry.modalEnvelope);
    }
}

void KrWidgetManager::RemoveHandlersOf(KrXMLGenericElement* element) {
    for (auto it = _registry.begin(); it != _registry.end(); ++it) {
        if (it->second.element != element)
            continue;
        KrWidgetEntry entry = std::move(it->second);
        _registry.erase(it);
        _unmark(entry.element);
        _unmark(entry.modalLock);
        _unmark(entry.modalEnvelope);
        return;
    }
}

bool KrWidgetManager::_bind(KrHTMLKontextN* context, const char* operation) {
    if (context == nullptr) {
        std::cerr << "widget manager: " << operation << " without a page context; nothing done"
                  << std::endl;
        return false;
    }
    KrHTML_Document2* document = context->GetDocument();
    if (document != _document || document == nullptr) {
        _contextId = context->GetId();
        ClearHandlers();
        _unmarkAll();
        _document = document;
        _mark(_document);
        _addWidgetScript();
    }
    if (_document == nullptr) {
        std::cerr << "widget manager: " << operation << " on context '" << context->GetId()
                  << "', which has no page; nothing done" << std::endl;
        return false;
    }
    return true;
}

void KrWidgetManager::_addWidgetScript() {
    if (_document == nullptr || _document->FindElementByAttribute("id", "quivowidget") != nullptr)
        return;
    auto* script =
        new KrHTML_script2("", std::string(kWidgetScript) + KrHTMLKontextN::PageGoneScript());
    script->AssignAttribute("id='quivowidget'");
    _document->AddToHead(script);
    _document->AddToBody(new KrHTML_text2(widgetForm(_contextId)));
}

std::string KrWidgetManager::AddHandler(std::string id, KrHTMLKontextN* context,
                                        std::string action, WidgetHandler handler,
                                        std::map<std::string, std::string>& options) {
    if (!_bind(context, "AddHandler"))
        return "";
    KrXMLGenericElement* element = _document->FindElementByAttribute("id", id);
    if (element == nullptr)
        return "";
    KrWidgetEntry& entry = _registry[id];
    KrXMLGenericElement* previous = entry.element;
    entry.element = element;
    entry.handlers[action] = std::move(handler);
    if (previous != element)
        _unmark(previous);
    _mark(element);
    if (options.count("silent") != 0)
        return "";
    const std::string call = handlerCall(action);
    element->SetAttribute(action, call);
    return onElement(id, setAttributeCall(action, call));
}

std::string KrWidgetManager::AddHandlerSilent(std::string id, KrHTMLKontextN* context,
                                              std::string action, WidgetHandler handler,
                                              std::map<std::string, std::string>& options) {
    options["silent"] = "true";
    return AddHandler(std::move(id), context, std::move(action), std::move(handler), options);
}

std::string KrWidgetManager::ShowModal(const std::string& id, KrXMLGenericElement* content,
                                       KrHTMLKontextN* context) {
    if (!_bind(context, "ShowModal"))
        return "";
    if (id.empty() || content == nullptr)
        return "";
    if (content->GetParent() != nullptr) {
        std::cerr << "widget manager: the content of modal '" << id
                  << "' already belongs to an element; nothing done" << std::endl;
        return "";
    }
    const size_t z = 1000 + 5 * _modalStack.size();
    // Held here until the body takes them, so a failure leaks nothing.
    auto lock = std::make_unique<KrHTML_div2>("modallock" + std::to_string(z), false);
    lock->AssignAttribute(
        "style='position:fixed; top:0; left:0; width:100%; height:100%; "
        "background-color:green; opacity:0.8; z-index:" +
        std::to_string(z) + ";'");
    auto envelope = std::make_unique<KrHTML_div2>("modalenvelope" + std::to_string(z + 1), false);
    envelope->AssignAttribute(
        "style='position:fixed; transform: translate(-50%, -50%); top:50%; left:50%; z-index:" +
        std::to_string(z + 1) + ";'");
    envelope->AddChild(content);
    std::string result = lock->ToJavaScriptCreate();
    result += envelope->ToJavaScriptCreate();
    KrXMLGenericElement* lockElement = lock.get();
    KrXMLGenericElement* envelopeElement = envelope.get();
    _document->AddToBody(lock.release());
    _document->AddToBody(envelope.release());
    _modalStack.push_back(content);

    KrWidgetEntry previous = std::move(_registry[id]);
    _registry[id] = KrWidgetEntry{id, content, lockElement, envelopeElement, {}};
    _unmark(previous.element);
    _unmark(previous.modalLock);
    _unmark(previous.modalEnvelope);
    _mark(content);
    _mark(lockElement);
    _mark(envelopeElement);
    return result;
}

std::string KrWidgetManager::RemoveElement(const std::string& id, KrHTMLKontextN*) {
    std::string result;
    const auto it = _registry.find(id);
    if (it != _registry.end()) {
        const KrWidgetEntry entry = std::move(it->second);
        _registry.erase(it);
        result += removalBlock(id);
        if (entry.modalLock != nullptr)
            result += removalBlock(entry.modalLock->GetAttributeString("id", ""));
        if (entry.modalEnvelope != nullptr)
            result += removalBlock(entry.modalEnvelope->GetAttributeString("id", ""));
        // Only a modal leaves the modal stack, and exactly its own content.
        if (!entry.name.empty()) {
            const auto shown = std::find(_modalStack.rbegin(), _modalStack.rend(), entry.element);
            if (shown != _modalStack.rend())
                _modalStack.erase(std::next(shown).base());
        }
        // Taken out of the page wherever it lies (a modal lies in the body).
        // The parts are still marked, so freeing one is reported to
        // OnElementDestroyed, which also forgets it everywhere else.
        std::vector<KrXMLComplexElement*> freed;
        _freed = &freed;
        for (KrXMLGenericElement* part : {entry.element, entry.modalLock, entry.modalEnvelope}) {
            // An earlier part may have held this one and freed it with itself.
            if (part == nullptr || std::find(freed.begin(), freed.end(), part) != freed.end())
                continue;
            if (part->GetParent() != nullptr && part != _document)
                delete part;
            else
                _unmark(part);
        }
        _freed = nullptr;
    }
    std::cout << "ret: " << result << std::endl;
    return result;
}

void KrWidgetManager::HandleWidgetRequest(KrXHeader& request, KrXResponseHeader& response) {
    const std::string action = param(request, "quivoaction");
    const std::string elementId = param(request, "quivoactionelement");
    const std::string param1 = param(request, "quivoactionparam1");
    std::cout << "content: " << action << "\ncontent1: " << elementId << "\ncontent2: " << param1
              << std::endl;
    std::string answer = "// QuivoWidget handler\n";
    const std::string what = JSStringEscape(elementId) + "/" + JSStringEscape(action);
    KrWidgetEntry& entry = FindEntry(elementId);
    const auto found = entry.handlers.find(action);
    if (entry.name != kDummyName && found != entry.handlers.end()) {
        // A copy: the handler may remove its own entry while it runs.
        const WidgetHandler handler = found->second;
        try {
            answer += handler(param1, request);
        } catch (const std::exception& error) {
            std::cerr << "widget handler " << elementId << "/" << action
                      << " failed: " << error.what() << std::endl;
            answer = "// QuivoWidget handler\n// the handler for " + what +
                     " failed; nothing changed.\n";
        } catch (...) {
            std::cerr << "widget handler " << elementId << "/" << action << " failed"
                      << std::endl;
            answer = "// QuivoWidget handler\n// the handler for " + what +
                     " failed; nothing changed.\n";
        }
    } else {
        answer += "// a handler for " + what + " was not found.\n";
    }
    response.setContent(answer);
}

std::string KrWidgetManager::ClearAttribute(const std::string& id, const std::string& attribute) {
    KrWidgetEntry& entry = FindEntry(id);
    if (entry.name == kDummyName || entry.element == nullptr ||
        entry.handlers.count(attribute) == 0)
        return "";
    entry.element->SetAttribute(attribute, "");
    return onElement(id, setAttributeCall(attribute, ""));
}

std::string KrWidgetManager::SetAttribute(const std::string& id, const std::string& attribute,
                                          const std::string& value) {
    KrWidgetEntry& entry = FindEntry(id);
    if (entry.name == kDummyName || entry.element == nullptr)
        return "";
    entry.element->SetAttribute(attribute, value);
    return onElement(id, setAttributeCall(attribute, value));
}

std::string KrWidgetManager::SetInnerHTML(const std::string& id, const std::string& html) {
    KrWidgetEntry& entry = FindEntry(id);
    if (entry.name == kDummyName || entry.element == nullptr)
        return "";
    KrXMLGenericElement* element = entry.element;
    if (element->IsEmptyElement()) {
        std::cerr << "widget manager: element '" << id << "' takes no content; nothing done"
                  << std::endl;
        return "";
    }
    // Registered elements inside go with the old content, and tell this
    // manager so; `entry` itself stays.
    element->DeleteAllChildren();
    element->AddChild(new KrHTML_text2(html));
    return onElement(id, "innerHTML=\"" + JSStringEscape(html) + "\"");
}
