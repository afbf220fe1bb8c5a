#pragma once
// The example's application object. Every request to "/" that names no page
// id gets a page context of its own (a WidgetsPage), kept under the page's id
// until it expires (unnamed for 30 minutes, or the least recently named past
// 10,000 pages, or past the attribute maxpages of "./quivoone.xml");
// requests that carry "quivoid" reach that page, and once it is gone they get
// the not-found page, on which the page shows a notice with a link to a
// fresh page.
// The page and its style sheet come from the storage's resources.

#include <atomic>
#include <string>

#include "app/KrQuivoApplication2.h"

class KrAppViewportBase;
class KrPersistentAppStorage;

class WidgetsApplication : public KrQuivoApplication2 {
  public:
    using KrQuivoApplication2::KrQuivoApplication2;

    // The viewport's factory: one HTTP listener on the address and port of
    // "./quivoone.xml" (as the programs read it), "/" as the command URL,
    // the working directory as the base directory, no browser started.
    static KrQuivoApplication2* Create(KrAppViewportBase* viewport, bool flag);
    // The viewport's storage hook: the embedded resources and the value of
    // the page's template [[title]].
    static void FillStorage(KrPersistentAppStorage& storage);

    // A new page for a visit of "/"; the web client then lets it render.
    KrHTMLKontextN* CreateKontext(const std::string& name) override;

  private:
    // Makes page ids unique even when two pages start in one microsecond.
    std::atomic<unsigned long> _pages{0};
};
