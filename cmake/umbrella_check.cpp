// Compiled, never run: proves that every umbrella header stands on its own
// and that the libraries' public headers do not clash with each other.
#include "foundation/foundation.h"
#include "document/document.h"
#include "html/html.h"
#include "transport/transport.h"
#include "app/app.h"
