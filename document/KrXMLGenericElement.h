#pragma once
// An element with named attributes, the base of every XML and HTML element
// that carries attributes. Owns every object in its attribute map; for a
// member attribute of a subclass the map holds an owned proxy and the
// member itself belongs to the subclass. A null map value is a bare
// attribute, written as its name alone.

#include <cstddef>
#include <iterator>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "document/KrXMLComplexAttribute2.h"
#include "document/KrXMLComplexElement.h"

class KrXMLGenericElement : public KrXMLComplexElement {
  public:
    using GenericList = std::list<KrXMLGenericElement*>;

    // Deletes an attribute the map owns; a proxy that belongs to the
    // element's own members (see _registerProxy) is left alone. An attribute
    // the element built in its own attribute block (inPlace) is only
    // destroyed: its storage belongs to the element, so such a pointer must
    // not be moved out of the map.
    struct AttributeDeleter {
        bool owned = true;
        bool inPlace = false;
        void operator()(KrXMLComplexAttribute2* attribute) const {
            if (inPlace) {
                attribute->~KrXMLComplexAttribute2();
            } else if (owned) {
                delete attribute;
            }
        }
    };
    using AttributePointer = std::unique_ptr<KrXMLComplexAttribute2, AttributeDeleter>;

    // The attributes of one element, by byte-wise ascending name (the order
    // in which they are written). An element holds none or a handful, kept in
    // one small sorted array where a search tree's node per entry cost more
    // than the lookup saved; an element with many (generated or hostile
    // markup) moves them into an ordered tree, so that inserting and looking
    // up stay logarithmic. Iterates as (name, attribute) pairs.
    class AttributeMap {
      public:
        using value_type = std::pair<std::string, AttributePointer>;

      private:
        using Node = std::unique_ptr<value_type>;
        struct NodeLess {
            using is_transparent = void;
            bool operator()(const Node& a, const Node& b) const { return a->first < b->first; }
            bool operator()(std::string_view a, const Node& b) const { return a < b->first; }
            bool operator()(const Node& a, std::string_view b) const { return a->first < b; }
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
        size_t size() const { return _tree ? _tree->size() : _entries.size(); }
        bool empty() const { return size() == 0; }
        const_iterator find(std::string_view name) const;
        iterator find(std::string_view name);
        size_t count(std::string_view name) const { return find(name) == end() ? 0 : 1; }
        // Inserts in name order; the name must not be present yet.
        iterator insert(std::string name, AttributePointer attribute);
        void erase(iterator it);
        void clear();
        void reserve(size_t count);

      private:
        // From this many entries on they live in the tree.
        static constexpr size_t kTreeFrom = 32;

        iterator _arrayAt(size_t index) { return iterator(_entries.data() + index, {}, false); }
        iterator _treeAt(Tree::const_iterator node) { return iterator(nullptr, node, true); }
        void _moveToTree();

        std::vector<value_type> _entries;
        std::unique_ptr<Tree> _tree;
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
    const AttributeMap& GetAttributes() const { return _attributes; }

  protected:
    // RegisterAttribute for a proxy that is itself a member of the subclass:
    // the map neither allocates nor deletes it. Same duplicate rule.
    void _registerProxy(const std::string& name, KrXMLComplexAttributeProxy2* proxy);

    AttributeMap _attributes;

  private:
    // Room for the first few plain attributes the element builds, in one
    // block: a separate small heap block per attribute lay between the
    // nodes of a tree and kept the allocator from merging their space when
    // the tree was deleted. The destructor empties the map before the block
    // goes.
    struct AttributeBlock;
    struct AttributeBlockDeleter {
        void operator()(AttributeBlock* block) const;
    };
    // A new plain attribute, in the block when a slot is free.
    AttributePointer _newGenericAttribute(std::string value);

    std::unique_ptr<AttributeBlock, AttributeBlockDeleter> _attributeBlock;
};
