#pragma once
// The application framework: storage, resources, application object, page contexts, front ends.
// One include for an application that uses this library.

#include "transport/transport.h"

#include "app/KrCommandCompiler.h"
#include "app/KrPersistentAppStorage.h"
#include "app/KrStringStorage.h"
#include "app/KrXMLDatabase.h"

#include "app/KrAppViewportBase.h"
#include "app/KrAppViewportBaseQuivoOneTwo.h"
#include "app/KrHTMLKontextN.h"
#include "app/KrHTML_CommandFormN1.h"
#include "app/KrIntention.h"
#include "app/KrListenerRecord.h"
#include "app/KrQuitSignal.h"
#include "app/KrQuivoApplication2.h"
#include "app/KrQuivoCLAppAddOn.h"
#include "app/KrScenario.h"
#include "app/KrUpdateRegistry.h"
#include "app/KrWidgetManager.h"
