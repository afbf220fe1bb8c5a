#pragma once
// The application framework: storage, resources, application object, page contexts, front ends.
// One include for an application that uses this library.

#include "transport/transport.h"
