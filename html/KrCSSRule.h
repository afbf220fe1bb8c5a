#pragma once
// A style-sheet rule: a selector and its declarations, written as
// "selector{...}" with exactly the children it holds between the braces.
// Accepts text nodes, CSS comments and properties as children.

#include <list>
#include <string>

#include "document/KrXMLComplexElement.h"

class KrCSSRule : public KrXMLComplexElement {
  public:
    explicit KrCSSRule(const std::string& selector);
    // One property per non-empty declaration ("name:value"), in list order;
    // a malformed declaration throws out of the constructor.
    KrCSSRule(const std::string& selector, const std::list<std::string>& declarations);
    ~KrCSSRule() override;

    void OnChildAdded(KrXMLComplexElement* child) override;
    // Children of a rule are read with the "cssRule" grammar.
    std::string ChildDTD(const std::string& dtd) override;
    void Write(std::ostream& out) override;

    const std::string& GetSelector() const { return _selector; }

  private:
    std::string _selector;
};
