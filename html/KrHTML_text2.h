#pragma once
// The HTML text node: its text is written exactly as held (no escaping, so
// markup inside it reaches the page as markup). It takes no children and is
// never separated from its neighbours by line feeds.

#include <string>

#include "document/KrSharedText.h"
#include "html/KrHTML_BaseElement2.h"

class KrHTML_text2 : public KrHTML_BaseElement2 {
  public:
    KrHTML_text2();
    explicit KrHTML_text2(const std::string& text);
    ~KrHTML_text2() override;

    void WriteText(std::ostream& out) override;
    void Write(std::ostream& out) override;
    bool IsText() override;

    virtual void AppendText(const std::string& text);

    const std::string& GetText() const { return _text.str(); }

  private:
    // Shared with every node of the same short text until AppendText
    // changes it (a page holds one text node per word).
    KrSharedText _text;
};
