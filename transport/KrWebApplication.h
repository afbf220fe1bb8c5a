#pragma once
// What the web client needs of the application that owns it: page-context
// dispatch, context creation for the command URL, and stored resources. The
// application object derives from it; the transport knows nothing else of
// the application. Each operation runs on the thread of the server that read
// the request, while that request's header mutex is held; the application
// orders its own work with its own locks.
//
// The defaults answer nothing, so a request falls through to files and CGI
// and then to the not-found page.

#include <string>

class KrHTMLKontextN;
class KrXHeader;
class KrXResponseHeader;

class KrWebApplication {
  public:
    virtual ~KrWebApplication() = default;

    // The page context under `quivoid` handles the request with `command`;
    // an unknown id leaves `response` as it is (status 500: not answered).
    virtual void DispatchToKontext(const std::string& quivoid, KrXHeader& request,
                                   KrXResponseHeader& response, std::string command);
    // A new page context for a request to the command URL (`name` is the id
    // parameter's name, "quivoid"); null when the application makes none.
    // The application keeps ownership.
    virtual KrHTMLKontextN* CreateKontext(const std::string& name);
    // Lets `kontext`, as CreateKontext returned it, handle the request (the
    // application calls the context's HandleRequest).
    virtual void HandleKontextRequest(KrHTMLKontextN& kontext, KrXHeader& request,
                                      KrXResponseHeader& response, std::string command);
    // Whether a stored resource answers the relative path `name`.
    virtual bool HasResource(const std::string& name, KrXHeader& header);
    // Fills `response` with the resource (body and status).
    virtual bool ServeResource(const std::string& name, KrXHeader& response);
};
