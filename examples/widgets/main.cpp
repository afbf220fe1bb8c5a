// widgets: an example application built on quivo. It serves one page whose
// buttons and text field are handled on the server: an echo, a three-step
// scenario whose progress the page polls for, a modal dialog, a counter, a
// handler that throws, a command form and a second path (/status).
//
// Like the programs it reads its listen address and port from
// "./quivoone.xml" (default 127.0.0.1:8000) and serves the working
// directory's files besides its own. Type quit (or press Ctrl-C) to stop.
#include <exception>
#include <iostream>
#include <memory>

#include "WidgetsApplication.h"
#include "app/KrAppViewportBase.h"
#include "app/KrQuivoCLAppAddOn.h"

int main(int argc, char** argv) {
    try {
        auto viewport = std::make_unique<KrAppViewportBase>(
            "Widgets", "widgets", WidgetsApplication::Create, WidgetsApplication::FillStorage);
        KrQuivoCLAppAddOn frontEnd(viewport.get(), argc, argv);
        frontEnd.Run();
        // The application goes before the front end that waited for it.
        viewport.reset();
    } catch (const std::exception& error) {
        std::cerr << "widgets: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
