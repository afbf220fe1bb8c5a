#pragma once
// The page that answers a request nothing else answered: a title, the
// body markup (written raw), a line break and one link. Built for one answer
// and written into its body.

#include <string>

#include "html/KrHTML_Document2.h"

class KrHTML_ErrorMsg404 : public KrHTML_Document2 {
  public:
    KrHTML_ErrorMsg404(const std::string& title, const std::string& bodyMarkup,
                       const std::string& linkTarget, const std::string& linkText);
    ~KrHTML_ErrorMsg404() override;
};
