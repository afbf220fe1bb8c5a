#pragma once
// The node of every XML, HTML and CSS tree: a name, two writing flags, an
// ordered list of children and a parent link.
// Owns its children: deleting an element deletes its subtree (iteratively,
// so depth costs no stack). A child has at most one parent: handing over an
// element that already has one throws KrException and changes nothing. A
// child that OnChildAdded refuses (by throwing), or that finds no room when
// memory runs out, is taken out again and deleted before the exception
// reaches the caller, so the caller must not delete it.
// Not thread-safe: a tree belongs to one thread at a time.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "document/KrPooledObject.h"

class KrWidgetManager_base;
class KrXMLGenericElement;

// Every element, of whatever class, lives in the node pool.
class KrXMLComplexElement : public KrPooledObject {
  public:
    using ElementList = std::list<KrXMLComplexElement*>;
    using Children = std::vector<KrXMLComplexElement*, KrNodePoolAllocator<KrXMLComplexElement*>>;

    // collapsible is stored as emptyElement || collapsible.
    KrXMLComplexElement(const std::string& name, bool emptyElement, bool collapsible);
    KrXMLComplexElement(const KrXMLComplexElement&) = delete;
    KrXMLComplexElement& operator=(const KrXMLComplexElement&) = delete;

    // Hooks: the base versions do nothing.
    virtual void BeforeWrite(std::ostream& out);
    // Called after the child is in place with its parent set; throwing
    // refuses the child (it is then taken out and deleted).
    virtual void OnChildAdded(KrXMLComplexElement* child);
    // Called before a child is taken out or deleted.
    virtual void OnChildRemoved(KrXMLComplexElement* child);

    // Deletes the subtree; a set user pointer is told first. An element that
    // is still some parent's child is unlinked from it.
    virtual ~KrXMLComplexElement();

    virtual bool WantsNewline() const;
    // A non-empty name becomes the stored child DTD name; returns the stored one.
    virtual std::string ChildDTD(const std::string& name);
    // Lets each child write its text; writes nothing itself.
    virtual void WriteText(std::ostream& out);
    virtual bool IsEmptyElement() const;
    virtual void SetEmptyElement(bool emptyElement);
    virtual bool IsCollapsible() const;
    virtual void SetCollapsible(bool collapsible);
    // Markup without attributes or line feeds: "<name />" or "<name>children</name>".
    virtual void Write(std::ostream& out);
    // Appends and returns child; null gives null. Throws KrException
    // "child elements not allowed for <name>" on an empty element (also for
    // null), and when child already has a parent or is this element or its root.
    virtual KrXMLComplexElement* AddChild(KrXMLComplexElement* child);
    // Deletes every child (all OnChildRemoved calls first), then AddChild(child).
    // A child that is already one of the children changes nothing.
    virtual KrXMLComplexElement* SetChild(KrXMLComplexElement* child);
    virtual bool IsText();
    virtual const std::string& GetName() const;
    // Appends this element if named `name`, then (depth -1 or > 0) asks each
    // child with depth - 1 (-1 stays -1); results in pre-order. Throws
    // KrException "Nullelement" on a null child.
    virtual void FindElementsByName(const std::string& name, ElementList& list, long depth);
    // The first, second and third child not named "procinst" or "comment"
    // (nor "xmltext" when skipText); null when there are fewer.
    virtual KrXMLComplexElement* FirstElementChild(bool skipText);
    virtual KrXMLComplexElement* SecondElementChild(bool skipText);
    virtual KrXMLComplexElement* ThirdElementChild(bool skipText);
    // Appends every direct child.
    virtual void ListChildren(ElementList& list);
    // Attributes live on KrXMLGenericElement; the base answers false.
    virtual bool ReplaceElementWhere(KrXMLGenericElement* newElement,
                                     const std::string& attributeName, const std::string& value);
    // Puts wrapper in child's place and child under wrapper; false when child
    // is not a direct child (or OnChildRemoved took it out) or wrapper is null. If the wrapper refuses the
    // child the tree stays as it was (the caller keeps the wrapper); if this
    // element refuses the wrapper, child is put back and the wrapper deleted.
    virtual bool WrapChild(KrXMLComplexElement* child, KrXMLComplexElement* wrapper);
    // Puts newChild in oldChild's place and deletes oldChild; false when
    // oldChild is not a direct child or newChild is null. Replacing a child
    // by itself changes nothing and answers true. A refused newChild is
    // deleted and oldChild stays.
    virtual bool ReplaceChild(KrXMLComplexElement* oldChild, KrXMLComplexElement* newChild);
    // OnChildRemoved and delete for each child, first to last.
    virtual void DeleteAllChildren();
    // The reader calls it when the element's closing unit has been read.
    virtual void OnParsed();

    KrXMLComplexElement* GetParent() const { return _parent; }
    // Sets the link only; the tree operations keep it right by themselves.
    void SetParent(KrXMLComplexElement* parent) { _parent = parent; }
    // Subclasses give themselves their final name in their constructors.
    void SetName(const std::string& name);
    void SetUserPointer(KrWidgetManager_base* manager);
    KrWidgetManager_base* GetUserPointer() const;
    void SetError(const std::string& text);
    bool HasError() const { return _error; }
    const std::string& GetErrorText() const;
    const Children& GetChildren() const { return _children.items(); }

    // Inserts at the front without looking at emptyElement; otherwise as AddChild.
    KrXMLComplexElement* PrependChild(KrXMLComplexElement* child);
    // Takes child out without deleting it and clears its parent link; the
    // caller owns it from then on. False (and no hook) when it is no direct child.
    bool RemoveChild(KrXMLComplexElement* child);
    // Moves every child of other, first to last, here through the AddChild
    // rules (this element's hooks run, other's do not). On a failure the
    // children not yet moved stay with other.
    void AppendChildrenOf(KrXMLComplexElement* other);
    // Puts wrapper in this element's place under its parent; returns wrapper.
    // KrException "missing parent." or "structure incorrect.".
    KrXMLComplexElement* WrapWith(KrXMLComplexElement* wrapper);
    // KrException "can't initialize from nullptr" for a null pointer.
    static void ThrowNullInit(const void* pointer);

    // The element as Write produces it, built in one reserved string.
    std::string ToXMLString(size_t reserve = 256);

  protected:
    // For node kinds whose name is fixed: `sharedName` comes from
    // KrSharedName::Intern and is not null.
    KrXMLComplexElement(const std::string* sharedName, bool emptyElement, bool collapsible);

    // Throws unless child may be handed to this element: no parent, and
    // neither this element nor the root of its tree.
    void _checkAdoptable(const KrXMLComplexElement* child) const;
    // Inserts child (already checked) at `position`, sets its parent and
    // runs OnChildAdded; a refusal takes it out again and, when
    // deleteOnRefusal, deletes it before rethrowing.
    void _attachChild(KrXMLComplexElement* child, size_t position, bool deleteOnRefusal);
    // Takes child out of its slot, wherever a hook has moved it, or puts
    // replacement (when not null) in that slot; deletes child when deleteIt
    // and it is still this element's.
    void _dropChild(KrXMLComplexElement* child, KrXMLComplexElement* replacement, bool deleteIt);
    // The second half of a replacement, after OnChildRemoved(oldChild): puts
    // newChild (already checked) in oldChild's slot, runs OnChildAdded and
    // deletes oldChild. If the hook took oldChild out, newChild is attached
    // at `position`. A refused newChild is deleted and oldChild stays.
    void _replaceRemovedChild(KrXMLComplexElement* oldChild, KrXMLComplexElement* newChild,
                              size_t position);
    // Index of child among the children, or npos.
    size_t _indexOf(const KrXMLComplexElement* child) const;

    static constexpr size_t npos = static_cast<size_t>(-1);

    // The shared string of the name (KrSharedName), or this element's own
    // copy when _ownsName (the shared table was full). A tree holds one node
    // per word, and a copy of the name in every one of them was the largest
    // part of a small node.
    const std::string* _name;

    // The children, held through one pointer: most nodes (every word of
    // text) have none, and an empty vector in each cost 24 bytes. Reads like
    // the vector; the vector is made with the first child and freed when the
    // last one goes.
    class ChildList {
      public:
        ChildList() = default;
        ChildList(const ChildList&) = delete;
        ChildList& operator=(const ChildList&) = delete;
        ~ChildList() { _free(); }

        const Children& items() const { return _items != nullptr ? *_items : _none(); }
        Children::const_iterator begin() const { return items().begin(); }
        Children::const_iterator end() const { return items().end(); }
        size_t size() const { return _items != nullptr ? _items->size() : 0; }
        bool empty() const { return size() == 0; }
        KrXMLComplexElement* operator[](size_t index) const { return (*_items)[index]; }
        // Index must be below size().
        void set(size_t index, KrXMLComplexElement* child) { (*_items)[index] = child; }

        void insertAt(size_t position, KrXMLComplexElement* child);
        void push_back(KrXMLComplexElement* child) { insertAt(size(), child); }
        // Iterators must come from this list.
        void erase(Children::const_iterator first, Children::const_iterator last);
        void erase(Children::const_iterator at) { erase(at, at + 1); }
        void eraseAt(size_t index) { erase(begin() + static_cast<std::ptrdiff_t>(index)); }
        // Frees the vector; allocates nothing.
        void clear() { _free(); }
        // Exchanges the children with other's elements.
        void swapWith(Children& other);

      private:
        static const Children& _none();
        void _free();

        Children* _items = nullptr;
    };
    ChildList _children;
    KrXMLComplexElement* _parent = nullptr;
    bool _emptyElement;
    bool _collapsible;
    bool _error = false;
    bool _newline = false;
    bool _ownsName = false;
    // The element has an entry in the table of rarely used data (Extra).
    bool _hasExtra = false;
    // The stored child grammar name: none, one of the built-in ones (1 + its
    // index), or kOwnGrammar for _extra->childDTD. A pointer or a string
    // here cost every node a word for a name only opened elements need.
    uint8_t _childGrammar = kNoGrammar;

  private:
    static constexpr uint8_t kNoGrammar = 0;
    static constexpr uint8_t kOwnGrammar = 0xff;

    const std::string* _storedChildDTD() const;
    void _adoptName(const std::string& name);
    void _releaseName();

    // What few elements carry, kept outside the element in a table keyed by
    // its address: a tree holds one element per word of text, so every byte
    // of an element counts (allocation, cache, page faults), and a pointer
    // in each for data that almost none has cost 8 bytes per node.
    struct Extra {
        std::string errorText;
        KrWidgetManager_base* userPointer = nullptr;
        // A child grammar name other than the built-in ones.
        std::string childDTD;
    };

    KrXMLComplexElement* _nthElementChild(bool skipText, int n);
    // This element's entry, made when absent. The entry stays where it is
    // until the element is destroyed.
    Extra& _extraData();
    // This element's entry, or null.
    const Extra* _findExtra() const;
};
