#include "app/KrHTMLKontextN.h"

#include <exception>
#include <iostream>
#include <list>

#include "app/KrHTML_CommandFormN1.h"
#include "app/KrPersistentAppStorage.h"
#include "app/KrQuivoApplication2.h"
#include "app/KrStringStorage.h"
#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrStringUtils.h"
#include "html/KrDocumentReader.h"
#include "html/KrHTML_Document2.h"
#include "html/KrHTML_html2.h"
#include "html/KrHTML_input2.h"
#include "html/KrHTML_script2.h"
#include "html/KrJavaScriptHandler.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

// The page side of update polling: posts a poll for a reference and follows
// the "novidade" element of the answer (poll again or stop, replace the
// elements named by its child divs).
const char* const kUpdateScript = R"JS(
(function (DOMParser) {
  "use strict";
  var proto = DOMParser.prototype;
  var nativeParse = proto.parseFromString;
  try {
    if ((new DOMParser()).parseFromString("", "text/html")) {
      return;
    }
  } catch (ex) {}
  proto.parseFromString = function (markup, type) {
    if (/^\s*text\/html\s*(?:;|$)/i.test(type)) {
      var doc = document.implementation.createHTMLDocument("");
      if (markup.toLowerCase().indexOf("<!doctype") > -1) {
        doc.documentElement.innerHTML = markup;
      } else {
        doc.body.innerHTML = markup;
      }
      return doc;
    }
    return nativeParse.apply(this, arguments);
  };
}(DOMParser));

var xmlhttp_tu = window.XMLHttpRequest ? new XMLHttpRequest() : new ActiveXObject("Microsoft.XMLHTTP");
var localtimeout = null;

xmlhttp_tu.onreadystatechange = function () {
  if (xmlhttp_tu.readyState != 4) {
    return;
  }
  if (xmlhttp_tu.status == 404) {
    quivopagegone();
    return;
  }
  if (xmlhttp_tu.status != 200 && xmlhttp_tu.status != 201) {
    return;
  }
  var answer = new DOMParser().parseFromString(xmlhttp_tu.responseText, "text/html");
  var news = answer.getElementById("novidade");
  if (!news) {
    return;
  }
  try {
    var refs = news.getAttribute("twymtref");
    if (localtimeout) {
      clearTimeout(localtimeout);
      localtimeout = null;
    }
    if (news.getAttribute("twymtfim") != "sim") {
      localtimeout = setTimeout(twymtupdate, parseInt(news.getAttribute("twymtupdatetime"), 10), refs);
    }
  } catch (ex) {
    alert(ex);
  }
  var parts = news.childNodes;
  for (var i = 0; i < parts.length; i++) {
    var part = parts[i];
    if (part.tagName == "DIV") {
      var target = document.getElementById(part.getAttribute("id"));
      if (target) {
        target.innerHTML = part.innerHTML;
      }
    }
  }
};

function twymtupdate(reference) {
  var form = new FormData();
  form.append("quivocommand", "twymtupdate");
  form.append("reference", reference);
  form.append("quivoid", quivoid);
  // Opening again drops a poll that is still under way.
  xmlhttp_tu.open("POST", twymtupdatepagename, true);
  xmlhttp_tu.send(form);
}
)JS";

// A context that is gone (expired) leaves its page without a server: every
// request of the page is answered 404. Without a word the user would click
// on and see nothing happen, so the page says so and offers a fresh one.
const char* const kPageGoneScript = R"JS(
function quivopagegone() {
  if (document.getElementById("quivopagegone")) {
    return;
  }
  var address = new URL(window.location.href);
  address.searchParams.delete("quivoid");
  var notice = document.createElement("div");
  notice.id = "quivopagegone";
  notice.setAttribute("role", "alert");
  notice.setAttribute("style", "position:fixed; top:0; left:0; right:0; z-index:2147483647; " +
    "padding:0.8em 1em; background:#fff3cd; color:#222; border-bottom:2px solid #b38600; " +
    "font:16px sans-serif;");
  notice.appendChild(document.createTextNode(
    "This page has expired on the server: what you do here no longer reaches it. "));
  var link = document.createElement("a");
  link.id = "quivopagegonereload";
  link.href = address.href;
  link.textContent = "Load a fresh page";
  notice.appendChild(link);
  document.body.appendChild(notice);
}
)JS";

// The type of a whole page: what its own meta element says, so that the
// browser need not guess it from the bytes.
const char* const kPageType = "text/html; charset=utf-8";

const char* const kPalette[] = {"083cc1", "045c1e", "ad6d14", "7b3b81"};

// What a failed handler answers: an empty page body, so nothing changes
// (the widget and poll handlers answer in their own formats).
void answerNothingChanged(KrXResponseHeader& response) {
    response.body().Reset();
    response.setContent("");
}

void reportNoPage(const std::string& id, const char* operation) {
    std::cerr << "page context '" << id << "': " << operation
              << " needs a page, and there is none; nothing done" << std::endl;
}

// Sets `value` on every element of the form whose "name" is `name`, or adds
// a hidden input of that name when there is none.
void stampField(KrXMLGenericElement* form, const std::string& name, const std::string& value) {
    KrXMLGenericElement::GenericList fields;
    form->FindElementsByAttribute("name", name, fields);
    if (fields.empty()) {
        form->AddChild(new KrHTML_input2_hidden("", value, name));
        return;
    }
    for (KrXMLGenericElement* field : fields)
        field->SetAttribute("value", value);
}

}  // namespace

KrHTMLKontextN::KrHTMLKontextN(KrQuivoApplication2* app, const std::string& name, unsigned int,
                               std::string, std::map<std::string, std::string>& options,
                               KrHTMLKontextN*)
    : _app(app), _options(&options) {
    if (_app == nullptr)
        throw KrException("App must be defined, but is nullptr", 283, "KrHTMLKontextN");
    if (!name.empty())
        _names[name] = 0;
    _handlers["/"] = [this](KrXHeader& request, KrXResponseHeader& response,
                            std::string command) {
        _handleRoot(request, response, std::move(command));
    };
    _handlers["/quivowidget.handler"] = [this](KrXHeader& request, KrXResponseHeader& response,
                                               std::string) {
        _widgetManager.HandleWidgetRequest(request, response);
    };
}

KrHTMLKontextN::~KrHTMLKontextN() {
    // Scenarios first: they wait for their running actions, which may still
    // use the page.
    _updateRegistry.DeleteScenarios();
    delete _document;
    _document = nullptr;
}

void KrHTMLKontextN::HookA() {}

void KrHTMLKontextN::HookB() {}

KrHTML_body2* KrHTMLKontextN::GetBody() {
    if (_document == nullptr) {
        reportNoPage(GetId(), "GetBody");
        return nullptr;
    }
    return _document->Html()->Body();
}

KrHTML_head2* KrHTMLKontextN::GetHead() {
    if (_document == nullptr) {
        reportNoPage(GetId(), "GetHead");
        return nullptr;
    }
    return _document->Html()->Head();
}

std::string KrHTMLKontextN::RenderPage() {
    return _document == nullptr ? std::string() : _document->ToHTMLString();
}

KrHTML_Document2* KrHTMLKontextN::GetDocument() {
    return _document;
}

void KrHTMLKontextN::SetDocument(KrHTML_Document2* document) {
    if (document == _document)
        return;
    // Freeing the old page tells the widget manager about every element it
    // kept, so it keeps none of them.
    delete _document;
    _document = document;
}

void KrHTMLKontextN::AddName(const std::string& name) {
    if (!name.empty())
        _names.emplace(name, 0);
}

std::string KrHTMLKontextN::GetId() {
    for (const auto& [name, value] : _names)
        if (value == 0)
            return name;
    return "";
}

std::map<std::string, long> KrHTMLKontextN::GetNames() {
    return _names;
}

KrGavetaScheduler2* KrHTMLKontextN::GetScheduler() {
    if (_app == nullptr)
        throw KrException("app must be set", 455, "KrHTMLKontextN");
    return _app->GetScheduler();
}

void KrHTMLKontextN::StampDocument(const std::string& quivoid) {
    if (_document == nullptr)
        throw KrException("the document can't be a nullptr", 427, "KrHTMLKontextN");
    _document->AddToHead(new KrHTML_script2("", "quivoid=\"" + JSStringEscape(quivoid) + "\";"));
    KrXMLGenericElement::GenericList forms;
    _document->FindGenericElementsByName("form", forms, -1);
    for (KrXMLGenericElement* form : forms) {
        stampField(form, "quivoid", quivoid);
        stampField(form, "quivogeometry", "empty");
    }
}

bool KrHTMLKontextN::AddCommandForm(const std::string& name, int) {
    if (_document == nullptr) {
        reportNoPage(GetId(), "AddCommandForm");
        return false;
    }
    try {
        KrXMLGenericElement* element = _document->FindElementByAttribute("name", name);
        if (element == nullptr)
            return false;
        const std::string formName = "formcommand" + std::to_string(_formCounter);
        ++_formCounter;
        _document->AddToBody(new KrHTML_CommandFormN1(formName, name, GetId()));
        element->SetAttribute("onclick",
                              "javascript:document.forms['" + JSStringEscape(formName) +
                                  "'].submit();");
        return true;
    } catch (const std::exception& error) {
        std::cerr << "page context '" << GetId() << "': no command form for '" << name
                  << "': " << error.what() << std::endl;
        return false;
    }
}

void KrHTMLKontextN::HandleRequest(KrXHeader& request, KrXResponseHeader& response,
                                   std::string command) {
    const std::string key = request.handlerPath().empty() ? request.path() : request.handlerPath();
    const auto it = _handlers.find(key);
    if (it == _handlers.end())
        return;
    // A copy: a handler may replace its own entry while it runs.
    const Handler handler = it->second;
    try {
        handler(request, response, std::move(command));
    } catch (const std::exception& error) {
        std::cerr << "page context '" << GetId() << "': the handler of " << key
                  << " failed: " << error.what() << "; nothing changed" << std::endl;
        answerNothingChanged(response);
    } catch (...) {
        std::cerr << "page context '" << GetId() << "': the handler of " << key
                  << " failed; nothing changed" << std::endl;
        answerNothingChanged(response);
    }
}

bool KrHTMLKontextN::LoadDocument(const std::string& name,
                                  std::map<std::string, KrStringStorage>& resources) {
    try {
        SetDocument(new KrHTML_Document2());
        KrDocumentReader reader;
        const auto resource = resources.find(name);
        if (resource != resources.end()) {
            std::string text = resource->second.GetContent();
            if (_app != nullptr && _app->GetStorage() != nullptr)
                _app->GetStorage()->ExpandTemplates(text, "");
            reader.LoadHTMLString(text, _document);
        } else {
            const std::string path =
                EnsureTrailingSlashCopy((*_options)["startpath"]) + name;
            reader.LoadHTMLFile(path, _document);
        }
        return true;
    } catch (const std::exception& error) {
        std::cerr << "page context '" << GetId() << "': cannot load page '" << name
                  << "': " << error.what() << std::endl;
        SetDocument(new KrHTML_Document2());
        return false;
    }
}

void KrHTMLKontextN::_handleRoot(KrXHeader& request, KrXResponseHeader& response,
                                 std::string command) {
    if (command != "twymtupdate") {
        response.contentType() = kPageType;
        response.setContent(RenderPage());
        return;
    }
    // A poll's answer is a fragment that the page's script reads from the
    // response text: it goes out without a type, as widget answers do.
    const std::string reference = _updateRegistry.NewAnswer(request, "reference");
    try {
        if (_updateRegistry.HasUpdater(reference))
            _updateRegistry.SetUpdateTime(reference, _updateRegistry.CallUpdater(reference));
    } catch (...) {
        // The poll still gets an answer: a fresh one, which changes nothing
        // and ends polling for a reference whose updater is broken.
        std::string what = "unknown error";
        try {
            throw;
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
        }
        std::cerr << "page context '" << GetId() << "': the updater of " << reference
                  << " failed: " << what << "; polling for it ends" << std::endl;
        _updateRegistry.RemoveUpdater(reference);
        _updateRegistry.NewAnswer(request, "reference");
    }
    response.setContent(_updateRegistry.TakeAnswer(reference));
}

void KrHTMLKontextN::_addUpdateScript(KrHTML_Document2* document, const std::string& quivoid,
                                      const std::string& reference) {
    if (document == nullptr) {
        reportNoPage(GetId(), "_addUpdateScript");
        return;
    }
    document->AddToHead(new KrJavaScriptHandler(_updateScriptText(quivoid, "/"), true));
    KrHTML_script2* start =
        document->AddScript("", "twymtupdate(\"" + JSStringEscape(reference) + "\");");
    start->SetAttribute("async", "yes");
}

std::string KrHTMLKontextN::_updateScriptText(const std::string& quivoid,
                                              const std::string& pageName) {
    return "quivoid = \"" + JSStringEscape(quivoid) + "\";\ntwymtupdatepagename = \"" +
           JSStringEscape(pageName) + "\";\n\n" + kUpdateScript + kPageGoneScript;
}

const char* KrHTMLKontextN::PageGoneScript() {
    return kPageGoneScript;
}

std::string ColourText(const std::string& text) {
    std::string result;
    size_t colour = 0;
    for (size_t at = 0; at < text.size();) {
        // One character is one UTF-8 sequence: a span must not split it.
        size_t length = 1;
        while (at + length < text.size() &&
               (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80)
            ++length;
        result += "<span style=\"color : #";
        result += kPalette[colour];
        result += "; font-style : oblique;\">";
        result += HTMLEscape(text.data() + at, length, true);
        result += "</span>\n";
        colour = (colour + 1) % 4;
        at += length;
    }
    return result;
}
