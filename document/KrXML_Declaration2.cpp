#include "document/KrXML_Declaration2.h"

KrXML_Declaration2::KrXML_Declaration2(std::string text) : KrXML_ProcInst2(std::move(text)) {}

KrXML_Declaration2::~KrXML_Declaration2() = default;
