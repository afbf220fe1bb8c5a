#pragma once
// The network transport and web server: sockets, transceiver, connections, message headers,
// servers, web client. One include for an application that uses this library.

#include "html/html.h"
#include "transport/KrHTTPMessageBlock.h"
#include "transport/KrHttpTables.h"
#include "transport/KrPoller.h"
#include "transport/KrServerCallback_t.h"
#include "transport/KrSocket.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServer.h"
#include "transport/KrUDPSocket.h"
#include "transport/KrXHeader.h"
#include "transport/KrXRequestHeader.h"
#include "transport/KrXResponseHeader.h"
#include "transport/KrXServerHeader.h"
