#pragma once
// Server-side handlers for events of page elements, and the JavaScript that
// mirrors changes of the server-side page in the browser. One per page
// context. A page with a handler or modal gets a widget script and a hidden
// form; an element event posts that form to "quivowidget.handler", and the
// answer (a handler's JavaScript) is evaluated by the page.
//
// The manager never owns page elements; they belong to the document. It marks
// every element it keeps a pointer to (its user pointer), and an element that
// is freed tells it so (OnElementDestroyed): the manager then forgets it, so
// a page reloaded, a context destroyed or an element replaced through
// SetInnerHTML leaves no dangling entry behind.
// Every text put into the JavaScript it answers is escaped as a string
// literal, so posted text reaches the page as text and never runs.
// Not thread-safe: callers hold the application's context mutex.

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "document/KrWidgetManager_base.h"

class KrHTML_Document2;
class KrHTMLKontextN;
class KrXHeader;
class KrXMLComplexElement;
class KrXMLGenericElement;
class KrXResponseHeader;

// Called with (param1, request); returns JavaScript for the page.
using WidgetHandler = std::function<std::string(std::string, KrXHeader&)>;

// One registered element: for a modal the content with its cover and box.
struct KrWidgetEntry {
    // Empty for AddHandler entries, the id for modals, "quivodummy" for the dummy.
    std::string name;
    KrXMLGenericElement* element = nullptr;
    KrXMLGenericElement* modalLock = nullptr;
    KrXMLGenericElement* modalEnvelope = nullptr;
    std::map<std::string, WidgetHandler> handlers;
};

class KrWidgetManager : public KrWidgetManager_base {
  public:
    KrWidgetManager();
    ~KrWidgetManager() override;
    KrWidgetManager(const KrWidgetManager&) = delete;
    KrWidgetManager& operator=(const KrWidgetManager&) = delete;

    // Unmarks every registered element and empties the registry.
    virtual void ClearHandlers();
    // Drops the first entry (in id order) whose element is `element`.
    virtual void RemoveHandlersOf(KrXMLGenericElement* element);
    // Removes a registered element (and a modal's cover and box) from the
    // page, wherever it lies, and answers the JavaScript that does the same
    // in the browser; an unknown id answers "".
    virtual std::string RemoveElement(const std::string& id, KrHTMLKontextN* context);
    // Registers `handler` for `action` on the page element with that id and
    // answers the JavaScript that wires the element; "" when there is no
    // such element, and "" without touching the element when options hold
    // "silent".
    virtual std::string AddHandler(std::string id, KrHTMLKontextN* context, std::string action,
                                   WidgetHandler handler,
                                   std::map<std::string, std::string>& options);
    // AddHandler with options["silent"] = "true" left in the caller's map.
    virtual std::string AddHandlerSilent(std::string id, KrHTMLKontextN* context,
                                         std::string action, WidgetHandler handler,
                                         std::map<std::string, std::string>& options);
    // Covers the page and shows `content` (handed over to the page) in a
    // centred box above earlier modals; answers the JavaScript that builds both.
    // Refused (empty id, null content, content that already has a parent,
    // no page): answers "" and the content stays the caller's.
    virtual std::string ShowModal(const std::string& id, KrXMLGenericElement* content,
                                  KrHTMLKontextN* context);
    // Runs the handler named by the posted "quivoactionelement" and
    // "quivoaction" and answers its JavaScript (status 200).
    virtual void HandleWidgetRequest(KrXHeader& request, KrXResponseHeader& response);
    virtual std::string ClearAttribute(const std::string& id, const std::string& attribute);
    virtual std::string SetAttribute(const std::string& id, const std::string& attribute,
                                     const std::string& value);
    virtual std::string SetInnerHTML(const std::string& id, const std::string& html);

    // The entry under id, or the dummy entry (name "quivodummy").
    KrWidgetEntry& FindEntry(const std::string& id);
    // The id of the first entry whose element is `element`, or "quivodummy".
    std::string IdOf(KrXMLGenericElement* element);
    // Puts the widget script into the head and the widget form into the
    // body, once per page.
    void _addWidgetScript();

    // An element this manager marked is being freed: forget every pointer to it.
    void OnElementDestroyed(KrXMLComplexElement* element) override;

    // The page the manager is bound to (null when none or when it was freed).
    KrHTML_Document2* GetDocument() const { return _document; }
    size_t ModalCount() const { return _modalStack.size(); }

  private:
    bool _isRegistered(const std::string& id) const;
    // Rebinds to the context's page when it is another one; false (said on
    // standard error) when the context has no page.
    bool _bind(KrHTMLKontextN* context, const char* operation);
    void _mark(KrXMLComplexElement* element);
    void _unmark(KrXMLComplexElement* element);
    void _unmarkAll();

    KrWidgetEntry _dummy;
    std::map<std::string, KrWidgetEntry> _registry;
    KrHTML_Document2* _document = nullptr;
    std::string _contextId;
    std::deque<KrXMLGenericElement*> _modalStack;
    // While RemoveElement frees elements: the ones freed so far.
    std::vector<KrXMLComplexElement*>* _freed = nullptr;
};
