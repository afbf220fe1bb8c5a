#pragma once
// The declaration at the head of a stored document ("xml version=...");
// written like any processing instruction, "<?" text "?>".

#include <string>

#include "document/KrXML_ProcInst2.h"

class KrXML_Declaration2 : public KrXML_ProcInst2 {
  public:
    explicit KrXML_Declaration2(std::string text);
    ~KrXML_Declaration2() override;
};
