#pragma once
// One page context of an application: the page the browser shows and talks
// back to, found by the "quivoid" its forms post. The application keeps its
// contexts by id and owns them; this declares what the application object
// calls on a context.

#include <string>

class KrXHeader;
class KrXResponseHeader;

class KrHTMLKontextN {
  public:
    virtual ~KrHTMLKontextN() = default;
    // The id under which the application keeps the context.
    virtual std::string GetId() = 0;
    // Answers one request of the page; `command` is its "quivocommand".
    virtual void HandleRequest(KrXHeader& request, KrXResponseHeader& response,
                               std::string command) = 0;
};
