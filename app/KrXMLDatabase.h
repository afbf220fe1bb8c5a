#pragma once
// A small key/value store held as an XML element tree. A dotted path such as
// "myapp.options.option.name" names elements with every part but the last and
// an attribute with the last. The tree can be replaced by reading a file, but
// nothing is ever written back: a write request only reports that writing is
// blocked.
// Owns its tree (deleting the database deletes it). Thread-safe where marked
// "locked": those calls take `_lock`, which guards the tree, the base element
// and the names; the unlocked calls leave exclusion to the caller.

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "document/KrXMLGenericElement.h"

class KrXMLDatabase {
  public:
    using Resolver = std::function<void(std::string)>;

    // A document holding the declaration and, when `baseName` is not empty,
    // an empty element of that name, which becomes the base element.
    explicit KrXMLDatabase(const std::string& baseName);
    KrXMLDatabase(const KrXMLDatabase&) = delete;
    KrXMLDatabase& operator=(const KrXMLDatabase&) = delete;

    // Unlocked. Sets the attribute the path names, creating the elements on
    // the way; any failure changes nothing and is not reported.
    virtual void _setValue(std::string path, std::string value);
    // Unlocked. The attribute the path names, or `fallback` when it (or an
    // element on the way) is missing or the path is malformed. Creates nothing.
    virtual std::string _getValue(std::string path, std::string fallback);
    virtual ~KrXMLDatabase();
    // Writes nothing: reports "writing: <path> to disk is blocked!!" on
    // standard error.
    virtual void WriteToDisk(std::string path);
    // Replaces the tree by the file's root element, which becomes the base
    // element. When no file exists, `resolver` is called first (without the
    // lock) and may create it. Throws KrException "no config was found - ..."
    // and keeps the old tree when the file does not read.
    virtual void DBReadFromDisk(std::string path, Resolver resolver = [](std::string) {});
    // Locked versions of _setValue and _getValue.
    virtual void SetValue(const std::string& path, const std::string& value);
    virtual std::string GetValue(const std::string& path, const std::string& fallback);
    // Locked: the value, or `fallback` stored and returned when there is none.
    virtual std::string GetValueOrInit(const std::string& path, const std::string& fallback);
    // Locked: appends the elements the dotted path names (the last part names
    // elements here, not an attribute). Creates nothing; `out` is not cleared.
    virtual void FindElementsAtPath(std::string path, std::list<KrXMLGenericElement*>& out);
    // Locked: appends every element named `name` below and including the
    // base element, in tree order.
    virtual void FindElements(std::string name, std::list<KrXMLGenericElement*>& out);
    // The names of the users holding this database open; the persistent
    // storage changes it under its own lock.
    virtual std::set<std::string>& GetHolders();
    // The content (markup included) of the project string variable `name`
    // ("project.stringvariables.stringvariable" with attribute name="..."),
    // or `fallback` when there is none. Locked for the whole lookup.
    virtual std::string GetStringVariable(std::string name, std::string fallback);
    virtual bool HasStringVariable(const std::string& name);

    // Unlocked. The element the path names with the last part, the
    // attribute name, stored in `attribute`; null when an element is missing
    // and `create` is false. Throws KrException for a malformed path or a
    // database without a base element.
    KrXMLGenericElement* _resolvePath(const std::string& path, std::string& attribute,
                                      bool create);
    // Unlocked. Prints the tree between "KrXMLDatabase::Dump()>" and "<".
    void Dump();

  protected:
    // Unlocked bodies of the locked calls.
    void _findElementsAtPath(const std::string& path, std::list<KrXMLGenericElement*>& out);
    // The variable's element, or null.
    KrXMLGenericElement* _findStringVariable(const std::string& name);

    // Directory of the last file read, with its trailing separator.
    std::string _directory;
    std::string _baseName;
    // The document root: the declaration and the base element, or the root
    // element read from a file.
    std::unique_ptr<KrXMLGenericElement> _document;
    // Inside _document, or null when there is no base element.
    KrXMLGenericElement* _baseElement = nullptr;
    std::set<std::string> _holders;
    // Guards _document, _baseElement, _baseName and _directory.
    std::mutex _lock;
};
