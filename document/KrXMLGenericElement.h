#pragma once
// An element with named attributes, the base of every XML and HTML element
// that carries attributes. Owns every object in its attribute map; for a
// member attribute of a subclass the map holds an owned proxy and the
// member itself belongs to the subclass. A null map value is a bare
// attribute, written as its name alone.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <list>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "document/KrSharedText.h"
#include "document/KrXMLComplexAttribute2.h"
#include "document/KrXMLComplexElement.h"

class KrXMLGenericElement : public KrXMLComplexElement {
  public:
    using GenericList = std::list<KrXMLGenericElement*>;

    // Deletes an attribute the map owns; a proxy that belongs to the
    // element's own members (see _registerProxy) is left alone.
    struct AttributeDeleter {
        // Written out rather than a member initialiser or a default argument,
        // so that the type is default-constructible while the enclosing
        // class is still incomplete.
        constexpr AttributeDeleter() noexcept : owned(true) {}
        constexpr AttributeDeleter(bool ownsAttribute) noexcept : owned(ownsAttribute) {}

        bool owned;
        void operator()(KrXMLComplexAttribute2* attribute) const {
            if (owned) {
                delete attribute;
            }
        }
    };
    using AttributePointer = std::unique_ptr<KrXMLComplexAttribute2, AttributeDeleter>;

    // An attribute name as the map holds it: the shared string of the name,
    // or an own copy when the shared table is full.
    using AttributeName = KrSharedText;

    // The attributes of one element, by byte-wise ascending name (the order
    // in which they are written). An element holds none or a handful, kept in
    // one block sized by their count (a header and the sorted entries), where
    // a search tree's node per entry cost more than the lookup saved; an
    // element with many (generated or hostile markup) moves them into an
    // ordered tree, so that inserting and looking up stay logarithmic. An
    // element without attributes pays one pointer. Iterates as (name,
    // attribute) pairs.
    class AttributeMap {
      public:
        using value_type = std::pair<AttributeName, AttributePointer>;

        AttributeMap() = default;
        AttributeMap(const AttributeMap&) = delete;
        AttributeMap& operator=(const AttributeMap&) = delete;
        ~AttributeMap() { clear(); }

      private:
        struct Block;
        using Node = std::unique_ptr<value_type>;
        struct NodeLess {
            using is_transparent = void;
            bool operator()(const Node& a, const Node& b) const {
                return a->first.str() < b->first.str();
            }
            bool operator()(std::string_view a, const Node& b) const { return a < b->first.str(); }
            bool operator()(const Node& a, std::string_view b) const { return a->first.str() < b; }
        };
        using Tree = std::set<Node, NodeLess>;

      public:
        // Walks the array or the tree, whichever holds the entries.
        template <typename Value>
        class Iterator {
          public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = std::remove_const_t<Value>;
            using difference_type = std::ptrdiff_t;
            using pointer = Value*;
            using reference = Value&;

            Iterator() = default;
            reference operator*() const { return _inTree ? **_node : *_slot; }
            pointer operator->() const { return &**this; }
            Iterator& operator++() {
                if (_inTree) {
                    ++_node;
                } else {
                    ++_slot;
                }
                return *this;
            }
            Iterator operator++(int) {
                Iterator before = *this;
                ++*this;
                return before;
            }
            bool operator==(const Iterator& other) const {
                return _inTree ? _node == other._node : _slot == other._slot;
            }
            operator Iterator<const value_type>() const {
                return Iterator<const value_type>(_slot, _node, _inTree);
            }

          private:
            friend class AttributeMap;
            template <typename>
            friend class Iterator;
            Iterator(Value* slot, Tree::const_iterator node, bool inTree)
                : _slot(slot), _node(node), _inTree(inTree) {}

            Value* _slot = nullptr;
            Tree::const_iterator _node{};
            bool _inTree = false;
        };
        using iterator = Iterator<value_type>;
        using const_iterator = Iterator<const value_type>;

        const_iterator begin() const;
        const_iterator end() const;
        iterator begin();
        iterator end();
        size_t size() const;
        bool empty() const { return size() == 0; }
        const_iterator find(std::string_view name) const;
        iterator find(std::string_view name);
        size_t count(std::string_view name) const { return find(name) == end() ? 0 : 1; }
        // Inserts in name order; the name must not be present yet.
        iterator insert(std::string_view name, AttributePointer attribute);
        void erase(iterator it);
        void clear();
        void reserve(size_t count);

        // Entries that many maps read at once, never freed: the member
        // attributes of a subclass before its element has made them, each
        // under its name with an attribute that stands for the member while
        // it is unset. Built once per subclass.
        class SharedEntries {
          public:
            SharedEntries(
                std::initializer_list<std::pair<std::string_view, KrXMLComplexAttribute2*>>
                    entries);

          private:
            friend class AttributeMap;
            Block* _block;
        };
        // An empty map reads entries from shared until it is cleared; it
        // must not be changed before (the owning element makes its own
        // entries first, see _makeDeferredAttributes).
        void useShared(const SharedEntries& shared);
        bool usesShared() const { return _block != nullptr && _block->capacity == 0; }

      private:
        // From this many entries on they live in the tree.
        static constexpr size_t kTreeFrom = 32;

        // The header of the one allocation that holds the entries; the
        // entries follow it. Either tree is set (and the entries are gone) or
        // the first `size` of `capacity` entries are constructed. Capacity 0
        // marks a block of SharedEntries.
        struct Block {
            Tree* tree = nullptr;
            uint32_t size = 0;
            uint32_t capacity = 0;
            value_type* entries() { return reinterpret_cast<value_type*>(this + 1); }
        };
        static_assert(sizeof(Block) % alignof(value_type) == 0);

        static Block* _newBlock(uint32_t capacity);
        // Destroys the entries (or the tree) and frees the block.
        static void _freeBlock(Block* block);
        // Moves the entries into a block of the given capacity.
        void _grow(uint32_t capacity);
        iterator _arrayAt(size_t index) { return iterator(_block->entries() + index, {}, false); }
        iterator _treeAt(Tree::const_iterator node) { return iterator(nullptr, node, true); }
        void _moveToTree();
        // Throws std::logic_error while the map reads shared entries.
        void _checkOwn() const;

        Block* _block = nullptr;
    };

    // Not empty, collapsible, no attributes.
    KrXMLGenericElement(const std::string& name, bool newline);
    ~KrXMLGenericElement() override;

    // "<name attrs" then " />", or ">" children "</name>" with the newline
    // rule between children. A '"' in an attribute value is written as
    // "&quot;"; nothing else is escaped.
    void Write(std::ostream& out) override;
    bool ReplaceElementWhere(KrXMLGenericElement* newElement, const std::string& attributeName,
                             const std::string& value) override;

    // Hooks around the children: right after the start tag's ">" and right
    // before the end tag. Not called for an element written as " />".
    virtual void AfterOpenTag(std::ostream& out);
    virtual void BeforeCloseTag(std::ostream& out);
    // Appends the direct children that are KrXMLGenericElement, in order.
    virtual void ListGenericChildren(GenericList& list);
    // Creates a KrXMLGenericAttribute or passes value to the stored
    // attribute's SetFromString (a typed member may throw). Always true.
    virtual bool SetAttribute(const std::string& name, const std::string& value);
    // Reads name="value" (or 'value', or an unquoted value, kept whole) and
    // sets it. Failures are not thrown: they set the error flag with
    // "error catched while assigning attritutes".
    virtual void AssignAttribute(const std::string& text);
    // The stored attribute (null for a bare one); an absent name gets a new
    // empty KrXMLGenericAttribute. Owned by this element.
    virtual KrXMLComplexAttribute2* GetOrCreateAttribute(const std::string& name);
    // The written form; fallback when the name is absent, "" when it is bare
    // or writes nothing.
    virtual std::string GetAttributeString(const std::string& name,
                                           const std::string& fallback) const;
    // Present, not bare, and the written form equals value.
    virtual bool AttributeEquals(const std::string& name, const std::string& value) const;
    virtual bool HasAttribute(const std::string& name) const;
    virtual bool RemoveAttribute(const std::string& name);
    // Replaces a matching element or else sets the attribute on newElement
    // and adds it (answering false). Null gives false.
    virtual bool ReplaceOrAddElementWhere(KrXMLGenericElement* newElement,
                                          const std::string& attributeName,
                                          const std::string& value);
    // This element and its generic descendants whose attribute has that
    // written value, in pre-order; non-generic children are skipped with
    // their subtrees.
    virtual void FindElementsByAttribute(const std::string& attributeName, const std::string& value,
                                         GenericList& list);
    // The same search by presence of the attribute.
    virtual void FindElementsWithAttribute(GenericList& list, const std::string& attributeName);
    // The first element FindElementsByAttribute would list, or null; stops
    // at the first match.
    virtual KrXMLGenericElement* FindElementByAttribute(const std::string& attributeName,
                                                        const std::string& value);
    // FindElementsByName keeping only generic elements.
    virtual void FindGenericElementsByName(const std::string& name, GenericList& list, long depth);
    // Deletes the first direct generic child whose attribute has that value.
    virtual void RemoveChildWhere(const std::string& attributeName, const std::string& value);
    // Dotted path query ("project.stringvariables.stringvariable",
    // "item[name=\"x\"].value"); each step looks at the element itself and
    // its direct children. The elements stay in the tree.
    virtual GenericList Find(const std::string& path);

    // AddChild, then the child as a generic element (null if it is none).
    KrXMLGenericElement* AddChildElement(KrXMLComplexElement* child);
    // Sets the attribute to its current written form followed by text.
    void AppendToAttribute(const std::string& name, const std::string& text);
    // Takes ownership of attribute (null makes a bare attribute). A name
    // already present frees attribute and throws the integer 2.
    void AdoptAttribute(const std::string& name, KrXMLComplexAttribute2* attribute);
    // Makes a member attribute of a subclass visible under name through an
    // owned proxy. A name already present throws the integer 2 and leaves
    // the map as it was.
    void RegisterAttribute(const std::string& name, KrXMLComplexAttribute2* member);
    // The attribute object stored under name: null when absent or bare.
    KrXMLComplexAttribute2* GetAttribute(const std::string& name) const;
    // The map with the element's own entries (a subclass's deferred
    // members are made first), so that its attributes may be changed.
    const AttributeMap& GetAttributes() const {
        return const_cast<KrXMLGenericElement*>(this)->_ownAttributes();
    }

  protected:
    // For node kinds whose name is fixed (see KrSharedName::Builtin).
    KrXMLGenericElement(const std::string* sharedName, bool newline);

    // A subclass that makes its member attributes on first use lets its map
    // read SharedEntries meanwhile; this is called before the map changes
    // or hands out an attribute to change, and must replace the shared
    // entries by the element's own. The base version does nothing.
    virtual void _makeDeferredAttributes();

    // RegisterAttribute for a proxy that is itself a member of the subclass:
    // the map neither allocates nor deletes it. Same duplicate rule.
    void _registerProxy(const std::string& name, KrXMLComplexAttributeProxy2* proxy);

    AttributeMap _attributes;

  private:
    // The map, with its own entries made, for changing it.
    AttributeMap& _ownAttributes();
};
