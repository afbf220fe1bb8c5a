#pragma once
// The host of one application object: owns the application and its
// persistent storage, keeps the application's two names and the command
// line, and offers the front end the steps Run and Stop. Deleting the
// viewport deletes the application before the storage it points to.

#include <functional>
#include <string>

class KrPersistentAppStorage;
class KrQuivoApplication2;

class KrAppViewportBase {
  public:
    using AppFactory = std::function<KrQuivoApplication2*(KrAppViewportBase*, bool)>;
    using StorageHook = std::function<void(KrPersistentAppStorage&)>;

    static KrQuivoApplication2* DefaultAppFactory(KrAppViewportBase*, bool);
    static void DefaultStorageHook(KrPersistentAppStorage&);

    // Creates the storage and calls the hook with it.
    KrAppViewportBase(std::string name1, std::string name2, AppFactory factory = DefaultAppFactory,
                      StorageHook hook = DefaultStorageHook);
    virtual ~KrAppViewportBase();
    KrAppViewportBase(const KrAppViewportBase&) = delete;
    KrAppViewportBase& operator=(const KrAppViewportBase&) = delete;

    // app = factory(this, flag); KrException "Can't create the app." for none.
    virtual void CreateApp(bool flag);
    // Creates, initialises and runs the application; returns once it listens
    // (the main loop belongs to the front end).
    virtual void Run(bool flag);
    virtual void Stop();

    void SetCommandLine(int argc, char** argv);
    // name1 for true, name2 for false.
    const std::string& GetAppName(bool flag);
    KrQuivoApplication2* GetApp() { return app; }
    KrPersistentAppStorage* GetStorage() { return storage; }

  protected:
    KrQuivoApplication2* app = nullptr;
    KrPersistentAppStorage* storage = nullptr;
    StorageHook hook;
    std::string name1;
    std::string name2;
    int argc = 0;
    char** argv = nullptr;
    AppFactory factory;
};
