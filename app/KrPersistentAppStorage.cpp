#include "app/KrPersistentAppStorage.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <vector>

#include "app/KrCommandCompiler.h"
#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrStringSplit.h"

namespace {

const char kNotSelected[] = "no application selected";

// One whole line, flushed, so lines of several threads do not interleave.
void printLine(std::ostream& out, const std::string& text) {
    out << (text + "\n") << std::flush;
}

// A project name becomes a folder and a file name below the projects folder,
// so it must be one plain path component.
bool isPlainProjectName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::string notFound(const std::string& project) {
    return "project " + project + "not found";
}

}  // namespace

KrPersistentAppStorage::KrPersistentAppStorage() : KrXMLDatabase("quivo") {}

KrPersistentAppStorage::KrPersistentAppStorage(std::string application) : KrXMLDatabase("") {
    LoadApplication(std::move(application));
}

KrPersistentAppStorage::~KrPersistentAppStorage() = default;

std::string KrPersistentAppStorage::_projectsDir() const {
    return CurrentDirDot(_applicationName) + "/" + _applicationName + "_projects";
}

void KrPersistentAppStorage::SaveApplication(std::string name) {
    {
        std::shared_lock<std::shared_mutex> guard(_storageMutex);
        if (name.empty()) {
            name = _applicationName;
        }
    }
    WriteToDisk(DirectoryOf(name) + "/" + name + ".xml");
}

void KrPersistentAppStorage::LoadApplication(std::string name) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    _applicationName = name;
    DBReadFromDisk(DirectoryOf(name) + "/" + name + ".xml");
    _selectApplication(name);
}

void KrPersistentAppStorage::SelectApplication(std::string name) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    _selectApplication(name);
}

void KrPersistentAppStorage::_selectApplication(const std::string& name) {
    {
        std::lock_guard<std::mutex> tree(_lock);
        std::list<KrXMLGenericElement*> bases;
        _document->FindGenericElementsByName("quivo", bases, -1);
        if (bases.size() != 1) {
            throw KrException("could not read the application config base 'quivo'", __LINE__,
                              "src");
        }
        _baseElement = bases.front();
        std::list<KrXMLGenericElement*> applications;
        _baseElement->FindGenericElementsByName(name, applications, -1);
        if (applications.empty()) {
            _baseElement->AddChildElement(new KrXMLGenericElement(name, true));
        }
    }
    _applicationName = name;
    _selected = true;
}

std::list<std::string> KrPersistentAppStorage::_listProjects() {
    if (!_selected) {
        throw KrException(kNotSelected, __LINE__, "src");
    }
    std::list<std::string> names;
    std::lock_guard<std::mutex> tree(_lock);
    std::list<KrXMLGenericElement*> projects;
    _findElementsAtPath(_applicationName + ".projects.project", projects);
    for (KrXMLGenericElement* project : projects) {
        std::string name = project->GetAttributeString("name", "");
        if (!name.empty()) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

void KrPersistentAppStorage::ListProjects(std::list<std::string>& out) {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    std::list<std::string> names = _listProjects();
    out.swap(names);
}

void KrPersistentAppStorage::GetOption(std::map<std::string, std::string>& out) {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    if (!_selected) {
        throw KrException(kNotSelected, __LINE__, "src");
    }
    out.clear();
    std::lock_guard<std::mutex> tree(_lock);
    std::list<KrXMLGenericElement*> options;
    _findElementsAtPath(_applicationName + ".options.option", options);
    for (KrXMLGenericElement* option : options) {
        const std::string name = option->GetAttributeString("name", "");
        if (!name.empty()) {
            out[name] = option->GetAttributeString("value", "");
        }
    }
}

bool KrPersistentAppStorage::OpenProject(std::string name, bool create,
                                         std::function<void(std::string)> resolver) {
    if (name.empty()) {
        return false;
    }
    if (!isPlainProjectName(name)) {
        printLine(std::cerr, "refused the project name '" + name +
                                 "': a project name may not be \".\" or \"..\" nor hold \"/\", "
                                 "\"\\\" or a zero byte");
        return false;
    }
    // The project paths of the matching entries, taken under the locks; the
    // files are read afterwards without them, since the resolver is the
    // caller's code and may call back into the storage.
    std::vector<std::string> projectPaths;
    {
        std::unique_lock<std::shared_mutex> guard(_storageMutex);
        const std::list<std::string> listed = _listProjects();
        if (std::find(listed.begin(), listed.end(), name) == listed.end()) {
            return false;
        }
        std::lock_guard<std::mutex> tree(_lock);
        std::list<KrXMLGenericElement*> projects;
        _findElementsAtPath(_applicationName + ".projects.project", projects);
        for (KrXMLGenericElement* project : projects) {
            if (project->GetAttributeString("name", "") != name) {
                continue;
            }
            std::string path = project->GetAttributeString("projectpath", "");
            if (path.empty()) {
                if (!create) {
                    projectPaths.emplace_back();
                    break;
                }
                project->SetAttribute("projectpath", name);
                path = name;
            }
            projectPaths.push_back(std::move(path));
        }
    }
    for (const std::string& projectPath : projectPaths) {
        if (projectPath.empty() || !_openProjectFile(name, projectPath, create, resolver)) {
            return false;
        }
    }
    return true;
}

bool KrPersistentAppStorage::_openProjectFile(const std::string& name,
                                              const std::string& projectPath, bool create,
                                              const std::function<void(std::string)>& resolver) {
    std::string dir;
    {
        std::shared_lock<std::shared_mutex> guard(_storageMutex);
        if (!_projectStorageDir(projectPath, dir, create)) {
            return false;
        }
    }
    const std::string file = dir + "/" + name + ".xml";
    try {
        KrXMLDatabase probe("quivo");
        probe.DBReadFromDisk(file, resolver);
    } catch (const KrException& e) {
        if (create) {
            throw KrException("closing on catch... with " + std::string(e.what()), __LINE__, "src");
        }
        return false;
    } catch (...) {
        if (create) {
            printLine(std::cout, "closing on catch...");
        }
        return false;
    }
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    _projectPaths[name] = file;
    return true;
}

bool KrPersistentAppStorage::ProjectStorageDir(std::string name, std::string& dir, bool create) {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    return _projectStorageDir(name, dir, create);
}

bool KrPersistentAppStorage::_projectStorageDir(const std::string& name, std::string& dir,
                                                bool create) {
    printLine(std::cout, "*#*#*#* " + name);
    std::string d;
    const bool absolute = !name.empty() && name[0] == '/';
    if (absolute) {
        d = name;
    } else {
        const std::string base = _projectsDir() + "/";
        d = name.compare(0, base.size(), base) == 0 ? name : base + name;
    }
    printLine(std::cout, "csd: " + d);
    const std::vector<std::string> pieces = SplitString(d, "/", true);
    if (pieces.empty()) {
        return false;
    }
    std::string path = absolute ? "/" : "";
    for (const std::string& piece : pieces) {
        path += piece;
        if (!DirectoryExists(path, create)) {
            return false;
        }
        path += "/";
    }
    dir = d;
    return true;
}

void KrPersistentAppStorage::ProjectStorage() {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    printLine(std::cout, "projectstorage: " + _projectsDir());
}

std::string KrPersistentAppStorage::ProjectsDir() {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    return _projectsDir();
}

KrXMLDatabase* KrPersistentAppStorage::FindProject(std::string project, std::string holder) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    const auto path = _projectPaths.find(project);
    if (path == _projectPaths.end()) {
        throw KrException(notFound(project), __LINE__, "src");
    }
    auto open = _openProjects.find(project);
    if (open == _openProjects.end()) {
        // A database that does not read is dropped here, not entered.
        auto database = std::make_unique<KrXMLDatabase>("");
        database->DBReadFromDisk(path->second);
        open = _openProjects.emplace(project, std::move(database)).first;
    }
    open->second->GetHolders().insert(holder);
    return open->second.get();
}

// A file that no longer reads throws, as FindProject does, instead of ending
// the process: the open database (if any) stays as it was.
KrXMLDatabase* KrPersistentAppStorage::ReloadProject(std::string project, std::string holder) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    const auto path = _projectPaths.find(project);
    if (path == _projectPaths.end()) {
        throw KrException(notFound(project), __LINE__, "src");
    }
    const auto open = _openProjects.find(project);
    if (open == _openProjects.end()) {
        printLine(std::cout, "reading DB again");
    }
    auto database = std::make_unique<KrXMLDatabase>("");
    try {
        database->DBReadFromDisk(path->second);
    } catch (const KrException& e) {
        throw KrException(e, __LINE__, "src");
    }
    database->GetHolders().insert(holder);
    KrXMLDatabase* result = database.get();
    if (open == _openProjects.end()) {
        _openProjects.emplace(project, std::move(database));
        return result;
    }
    std::unique_ptr<KrXMLDatabase> replaced = std::move(open->second);
    open->second = std::move(database);
    if (!replaced->GetHolders().empty()) {
        _replacedProjects.emplace(project, std::move(replaced));
    }
    return result;
}

void KrPersistentAppStorage::CloseProjects(std::string project, std::string holder) {
    std::unique_ptr<KrXMLDatabase> closed;
    std::string closedPath;
    {
        std::unique_lock<std::shared_mutex> guard(_storageMutex);
        const auto open = _openProjects.find(project);
        if (open != _openProjects.end()) {
            std::set<std::string>& holders = open->second->GetHolders();
            holders.erase(holder);
            if (holders.empty()) {
                closed = std::move(open->second);
                _openProjects.erase(open);
                closedPath = _projectPaths[project];
            }
        }
        auto [first, last] = _replacedProjects.equal_range(project);
        while (first != last) {
            first->second->GetHolders().erase(holder);
            first = first->second->GetHolders().empty() ? _replacedProjects.erase(first)
                                                        : std::next(first);
        }
    }
    if (closed) {
        closed->WriteToDisk(closedPath);
    }
    printLine(std::cout, "closing " + project);
}

void KrPersistentAppStorage::SetResources(const std::map<std::string, KrStringStorage>& resources) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    if (&resources != &_resources) {
        _resources = resources;
    }
}

std::map<std::string, KrStringStorage>& KrPersistentAppStorage::GetResources() {
    return _resources;
}

std::map<std::string, KrStringStorage> KrPersistentAppStorage::CopyResources() {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    return _resources;
}

bool KrPersistentAppStorage::LookUpResource(const std::string& name, std::string* content) {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    const auto found = _resources.find(name);
    if (found == _resources.end())
        return false;
    if (content != nullptr)
        *content = found->second.GetContent();
    return true;
}

int KrPersistentAppStorage::GetResourceType(const std::string& name) {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    const auto found = _resources.find(name);
    return found == _resources.end() ? 0 : found->second.GetType();
}

void KrPersistentAppStorage::SetVariable(const std::string& name, const std::string& value) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    _variables[name] = value;
}

void KrPersistentAppStorage::EraseVariable(const std::string& name) {
    std::unique_lock<std::shared_mutex> guard(_storageMutex);
    _variables.erase(name);
}

std::string KrPersistentAppStorage::_templateValue(const std::string& inner,
                                                   const std::string& project) {
    if (!inner.empty() && inner[0] == '!') {
        return RenderCommand(inner);
    }
    const auto open = _openProjects.find(project);
    if (open != _openProjects.end() && open->second->HasStringVariable(inner)) {
        return open->second->GetStringVariable(inner, "");
    }
    const auto variable = _variables.find(inner);
    return variable == _variables.end() ? std::string() : variable->second;
}

// Linear in the output: the text around a template is never moved again.
// While replacements hold no "[", none of them can start a template, so
// they go straight to the output and the input is read forward. The first
// replacement that holds one switches to the general loop: the text still to
// be read is kept reversed, so its front is the string's back, and a
// template is taken off and its replacement put in its place at the cost of
// their own lengths. Text brought in by a replacement is then read again
// together with what follows it, as a template may span both.
void KrPersistentAppStorage::ExpandTemplates(std::string& text, std::string project) {
    std::shared_lock<std::shared_mutex> guard(_storageMutex);
    std::string done;
    done.reserve(text.size() + text.size() / 2);
    size_t replacements = 0;
    // False (after the note on standard error) once a bound is reached.
    auto withinBounds = [&](size_t grownSize) {
        if (++replacements <= maxTemplateReplacements && grownSize <= maxExpandedSize) {
            return true;
        }
        printLine(std::cerr, "template expansion stopped after " +
                                 std::to_string(replacements - 1) + " replacements at " +
                                 std::to_string(done.size()) + " bytes (limits: " +
                                 std::to_string(maxTemplateReplacements) + " replacements, " +
                                 std::to_string(maxExpandedSize) +
                                 " bytes); the rest of the text is left unexpanded");
        return false;
    };

    std::string rest;
    size_t pos = 0;
    for (;;) {
        const size_t open = text.find("[[", pos);
        const size_t close = open == std::string::npos ? open : text.find("]]", open + 2);
        if (close == std::string::npos) {
            done.append(text, pos);
            text = std::move(done);
            return;
        }
        const std::string value = _templateValue(text.substr(open + 2, close - open - 2), project);
        if (!withinBounds(done.size() + (open - pos) + value.size() + (text.size() - close - 2))) {
            done.append(text, pos);
            text = std::move(done);
            return;
        }
        done.append(text, pos, open - pos);
        pos = close + 2;
        if (value.find('[') != std::string::npos) {
            rest.reserve(text.size() - pos + value.size());
            rest.assign(text.rbegin(), text.rbegin() + static_cast<long>(text.size() - pos));
            rest.append(value.rbegin(), value.rend());
            break;
        }
        done += value;
    }

    for (;;) {
        // "[[" and "]]" read the same reversed; rfind finds the first one in
        // reading order.
        const size_t open = rest.rfind("[[");
        if (open == std::string::npos) {
            break;
        }
        done.append(rest.rbegin(), rest.rbegin() + static_cast<long>(rest.size() - open - 2));
        rest.resize(open + 2);
        const size_t close = open >= 2 ? rest.rfind("]]", open - 2) : std::string::npos;
        if (close == std::string::npos) {
            break;
        }
        const std::string inner(rest.rbegin() + 2, rest.rbegin() + static_cast<long>(open - close));
        const std::string value = _templateValue(inner, project);
        if (!withinBounds(done.size() + close + value.size())) {
            break;
        }
        rest.resize(close);
        rest.append(value.rbegin(), value.rend());
    }
    done.append(rest.rbegin(), rest.rend());
    text = std::move(done);
}
