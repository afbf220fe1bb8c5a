#pragma once
// The example's embedded resources: the page (widgets.html, with the
// template [[title]]) and its style sheet (widgets.css), compiled into the
// program from the files beside this header.

#include <map>
#include <string>

#include "app/KrStringStorage.h"

std::map<std::string, KrStringStorage> WidgetsResources();
