#pragma once
// The `main` of both programs, which differ only in their front end: create
// the viewport, build the front end around it, let it run the main loop,
// then delete the viewport (application first, then storage) and last the
// front end (the X11 window closes after the application is gone).
// An exception leaving start-up or the loop is printed as
// "<program>: <message>" on standard error and gives exit status 1.

#include <exception>
#include <iostream>
#include <memory>

#include "app/KrAppViewportBaseQuivoOneTwo.h"

template <class AddOn>
int KrProgramMain(const char* program, int argc, char** argv, int frontEnd) {
    try {
        std::unique_ptr<KrAppViewportBase> viewport(CreateAppViewport(argc, argv, frontEnd));
        if (!viewport)
            return 0;
        AddOn addOn(viewport.get(), argc, argv);
        addOn.Idle();
        addOn.Run();
        addOn.Idle();
        viewport.reset();
    } catch (const std::exception& error) {
        std::cerr << program << ": " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
