#pragma once
// The network transport and web server: sockets, transceiver, connections, message headers, servers, web client.
// One include for an application that uses this library.

#include "html/html.h"
