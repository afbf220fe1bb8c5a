#pragma once
// What an element tells the widget manager it is registered with: that it is
// being destroyed. The element calls the hook from its destructor, so the
// element may only be compared by address there, not used.

class KrXMLComplexElement;

class KrWidgetManager_base {
  public:
    virtual ~KrWidgetManager_base() = default;
    virtual void OnElementDestroyed(KrXMLComplexElement* /*element*/) {}
};
