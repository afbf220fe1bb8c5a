#include "app/KrAppViewportBase.h"

#include <iostream>
#include <utility>

#include "app/KrPersistentAppStorage.h"
#include "app/KrQuivoApplication2.h"
#include "foundation/KrException.h"

KrQuivoApplication2* KrAppViewportBase::DefaultAppFactory(KrAppViewportBase*, bool) {
    return nullptr;
}

void KrAppViewportBase::DefaultStorageHook(KrPersistentAppStorage&) {}

KrAppViewportBase::KrAppViewportBase(std::string name1, std::string name2, AppFactory factory,
                                     StorageHook hook)
    : hook(std::move(hook)), name1(std::move(name1)), name2(std::move(name2)),
      factory(std::move(factory)) {
    storage = new KrPersistentAppStorage();
    try {
        this->hook(*storage);
    } catch (...) {
        delete storage;
        throw;
    }
}

KrAppViewportBase::~KrAppViewportBase() {
    delete app;
    delete storage;
}

void KrAppViewportBase::CreateApp(bool flag) {
    app = factory(this, flag);
    if (app == nullptr)
        throw KrException("Can't create the app.", __LINE__, "app");
}

void KrAppViewportBase::Run(bool flag) {
    CreateApp(flag);
    std::cout << "going to run app" << std::endl;
    if (app == nullptr)
        throw KrException("application must be defined.", __LINE__, "app");
    app->Init();
    app->Run();
}

void KrAppViewportBase::Stop() {
    if (app != nullptr)
        app->Stop();
}

void KrAppViewportBase::SetCommandLine(int count, char** vector) {
    argc = count;
    argv = vector;
}

const std::string& KrAppViewportBase::GetAppName(bool flag) {
    return flag ? name1 : name2;
}
