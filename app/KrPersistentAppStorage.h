#pragma once
// The store an application keeps beside its pages: an XML database whose
// tree holds the applications ("quivo" > application > "projects"/"options"),
// plus the registered project files, the open project databases, the
// embedded resources and free string variables, which fill the templates
// written between "[[" and "]]" in page text. Nothing is ever written to
// disk: every save ends in the database's blocked-write report.
// Owns the open project databases. Thread-safe: `_storageMutex` guards the
// storage's own fields (name, selected flag, the maps); the tree keeps its
// own lock, always taken after `_storageMutex`. User callbacks (the
// resolver of OpenProject) run with neither lock held.

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "app/KrStringStorage.h"
#include "app/KrXMLDatabase.h"

class KrPersistentAppStorage : public KrXMLDatabase {
  public:
    // Base element "quivo", nothing read.
    KrPersistentAppStorage();
    // No base element, then LoadApplication(application).
    explicit KrPersistentAppStorage(std::string application);
    // Deletes the open project databases without writing them.
    ~KrPersistentAppStorage() override;

    // Reports the blocked write of "./<name>.xml" (empty: the application's name).
    virtual void SaveApplication(std::string name);
    // Reads "./<name>.xml" and selects the application `name` in it; a read
    // failure throws the database's KrException.
    virtual void LoadApplication(std::string name);
    // Makes the one "quivo" element the base element and adds an element
    // `name` to it when there is none. KrException "could not read the
    // application config base 'quivo'" when "quivo" is missing or not unique.
    virtual void SelectApplication(std::string name);
    // The non-empty project names of the selected application, in file order.
    virtual void ListProjects(std::list<std::string>& out);
    // The application's options, name -> value; a later option of one name wins.
    virtual void GetOption(std::map<std::string, std::string>& out);
    // Registers the file of a listed project: finds (with `create`: makes)
    // its directory and reads its file once as a test; `resolver` is called
    // first when the file does not exist and may create it. False for an
    // unlisted project, a name that is empty, ".", ".." or holds "/", "\" or
    // a zero byte, a missing directory, or an unreadable file (with
    // `create`, the last throws KrException "closing on catch... with ...").
    virtual bool OpenProject(std::string name, bool create,
                             std::function<void(std::string)> resolver);
    // The directory of a project path: an absolute path as it is, a relative
    // one below ProjectsDir(). Every level must exist (with `create`: is
    // made); then `dir` is set and the answer is true.
    virtual bool ProjectStorageDir(std::string name, std::string& dir, bool create);
    // Prints "projectstorage: " and ProjectsDir() on standard output.
    virtual void ProjectStorage();
    // "./<application>_projects".
    virtual std::string ProjectsDir();
    // The open database of a registered project, read on first use, with
    // `holder` added to its holders. Owned by the storage: valid until the
    // last holder calls CloseProjects. KrException "project <name>not found"
    // for an unregistered project, or the database's error when it does not read.
    virtual KrXMLDatabase* FindProject(std::string project, std::string holder);
    // Reads the project's file again into a new open database held by
    // `holder`. The database it replaces stays valid for its own holders
    // until they close the project. A file that does not read throws
    // KrException and leaves the open database in place.
    virtual KrXMLDatabase* ReloadProject(std::string project, std::string holder);
    // Releases `holder`'s hold on the project's databases; the last holder's
    // release reports the blocked write and deletes the database.
    virtual void CloseProjects(std::string project, std::string holder);
    virtual void SetResources(const std::map<std::string, KrStringStorage>& resources);
    // The resource map itself: only for use while no other thread calls
    // SetResources; CopyResources is the thread-safe way to read it.
    virtual std::map<std::string, KrStringStorage>& GetResources();
    // The resource's KR_MIME_TYPE_* value; 0 when there is no such resource.
    virtual int GetResourceType(const std::string& name);
    // Replaces every "[[name]]" by the project's string variable `name`,
    // else the storage's variable, else "", and every "[[!command]]" by what
    // RenderCommand makes of it. Text brought in by a replacement is
    // expanded in its turn. After maxTemplateReplacements replacements, or
    // when the text would grow past maxExpandedSize bytes, the rest is left
    // unexpanded and a note goes to standard error.
    virtual void ExpandTemplates(std::string& text, std::string project);
    virtual void SetVariable(const std::string& name, const std::string& value);
    virtual void EraseVariable(const std::string& name);

    // A copy of the resource map, taken under the lock.
    std::map<std::string, KrStringStorage> CopyResources();
    // Whether a resource `name` is stored, and (with `content`) its content;
    // looked up under the lock without copying the map, so that serving a
    // file costs no copy and races no SetResources.
    bool LookUpResource(const std::string& name, std::string* content = nullptr);

    // Bounds of one expansion: a variable that refers to itself would
    // otherwise never end, and "[[a]][[a]]" doubles with every round.
    static constexpr size_t maxTemplateReplacements = 100000;
    static constexpr size_t maxExpandedSize = 16u << 20;

  private:
    void _selectApplication(const std::string& name);
    std::list<std::string> _listProjects();
    bool _projectStorageDir(const std::string& name, std::string& dir, bool create);
    std::string _projectsDir() const;
    // Registers one project file; false or an exception as OpenProject says.
    bool _openProjectFile(const std::string& name, const std::string& projectPath, bool create,
                          const std::function<void(std::string)>& resolver);
    std::string _templateValue(const std::string& inner, const std::string& project);

    // Guards every field below. Shared for lookups, exclusive for changes.
    std::shared_mutex _storageMutex;
    std::string _applicationName;
    bool _selected = false;
    // Project name -> path of its file.
    std::map<std::string, std::string> _projectPaths;
    std::map<std::string, std::unique_ptr<KrXMLDatabase>> _openProjects;
    // Databases that ReloadProject replaced while other holders still held
    // them; deleted when their last holder closes the project.
    std::multimap<std::string, std::unique_ptr<KrXMLDatabase>> _replacedProjects;
    std::map<std::string, KrStringStorage> _resources;
    std::map<std::string, std::string> _variables;
};
