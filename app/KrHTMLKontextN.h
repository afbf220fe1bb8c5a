#pragma once
// One page context of an application: the page the browser shows and talks
// back to, found by the "quivoid" its forms post. It routes the page's
// requests by path to its handlers ("/" renders the page or answers an update
// poll, "/quivowidget.handler" runs widget handlers), and keeps the page's
// widget manager and update registry.
//
// Owns its document and, through the registry, the scenarios handed to it;
// the application (never null) and the options map are not owned.
// No lock of its own: the application's context mutex serialises requests.
// A handler that throws does not leave HandleRequest: the error goes to
// standard error and the answer says that nothing changed.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "app/KrUpdateRegistry.h"
#include "app/KrWidgetManager.h"

class KrGavetaScheduler2;
class KrHTML_Document2;
class KrHTML_body2;
class KrHTML_head2;
class KrQuivoApplication2;
class KrStringStorage;
class KrXHeader;
class KrXResponseHeader;

class KrHTMLKontextN {
  public:
    using Handler = std::function<void(KrXHeader&, KrXResponseHeader&, std::string)>;

    // The unsigned number, the string and the parent are not used. Throws
    // KrException when app is null.
    KrHTMLKontextN(KrQuivoApplication2* app, const std::string& name, unsigned int,
                   std::string, std::map<std::string, std::string>& options,
                   KrHTMLKontextN* parent);
    KrHTMLKontextN(const KrHTMLKontextN&) = delete;
    KrHTMLKontextN& operator=(const KrHTMLKontextN&) = delete;

    virtual void HookA();
    // Body and head of the page, created when missing; null (said on
    // standard error) when the context has no page.
    virtual KrHTML_body2* GetBody();
    virtual KrHTML_head2* GetHead();
    virtual void HookB();
    // The page's HTML; "" without a page.
    virtual std::string RenderPage();
    // Makes the element whose "name" is `name` submit a new command form
    // posting to `name` when clicked; false when it is missing or anything
    // fails. `flag` is not used.
    virtual bool AddCommandForm(const std::string& name, int flag);
    // Deletes the registry's scenarios first (waiting for their running
    // actions), then the document, so no action outlives the page.
    virtual ~KrHTMLKontextN();
    virtual KrHTML_Document2* GetDocument();
    // An empty name changes nothing.
    virtual void AddName(const std::string& name);
    // The smallest name; "" when there is none.
    virtual std::string GetId();
    virtual std::map<std::string, long> GetNames();
    // Tells the page its id: a script setting `quivoid`, and a "quivoid"
    // (and "quivogeometry") field in every form. Throws KrException
    // without a page.
    virtual void StampDocument(const std::string& quivoid);
    // Runs the handler of the request's path; an unknown path leaves the
    // response untouched.
    virtual void HandleRequest(KrXHeader& request, KrXResponseHeader& response,
                               std::string command);
    // Throws KrException when there is no application.
    virtual KrGavetaScheduler2* GetScheduler();

    // Replaces the page by the resource `name` (templates expanded) or else
    // the file `name` below options["startpath"]; false (and an empty page)
    // on failure.
    bool LoadDocument(const std::string& name, std::map<std::string, KrStringStorage>& resources);
    // Installs a page (taken over; null leaves none), deleting the previous one.
    void SetDocument(KrHTML_Document2* document);
    std::map<std::string, Handler>& GetHandlers() { return _handlers; }
    std::map<std::string, std::string>* GetOptions() { return _options; }
    KrWidgetManager& GetWidgetManager() { return _widgetManager; }
    KrUpdateRegistry& GetUpdateRegistry() { return _updateRegistry; }
    KrQuivoApplication2* GetApplication() { return _app; }

    // The "/" handler: renders the page, or answers an update poll
    // (command "twymtupdate").
    void _handleRoot(KrXHeader& request, KrXResponseHeader& response, std::string command);
    // Makes the page poll for `reference` as soon as it is loaded.
    void _addUpdateScript(KrHTML_Document2* document, const std::string& quivoid,
                          const std::string& reference);
    // The page's polling script for the context id and the page it posts to.
    std::string _updateScriptText(const std::string& quivoid, const std::string& pageName);
    // Page script defining quivopagegone(): what the page's background
    // requests call when the server answers 404, that is when this context
    // is gone (expired). It shows a notice over the page with a link
    // (id "quivopagegonereload") to the same address without the
    // "quivoid", which makes a fresh page. Part of the polling and the
    // widget scripts.
    static const char* PageGoneScript();

  private:
    KrWidgetManager _widgetManager;
    KrQuivoApplication2* _app;
    std::map<std::string, std::string>* _options;
    std::map<std::string, Handler> _handlers;
    KrHTML_Document2* _document = nullptr;
    std::map<std::string, long> _names;
    KrUpdateRegistry _updateRegistry;
    uint64_t _formCounter = 0;
};

// HTML in which every character of `text` is a span of its own colour.
std::string ColourText(const std::string& text);
