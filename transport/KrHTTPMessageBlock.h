#pragma once
// One named parameter of a message: a query or form pair, or one part of a
// multipart body. Owns its content buffer; movable, never copied.
// KrHTTPMessageBlockDisposition indexes blocks by name; it does not own them
// (the message's block list does), except where its owner says otherwise.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/KrStringBuf.h"

class KrHTTPMessageBlock {
  public:
    // No content, "mimetype" "application/octet-stream", "name" empty.
    KrHTTPMessageBlock();
    // A block from one "name=value" text: both sides trimmed of blanks, not
    // decoded; "name" alone gives a block without content. An empty text or
    // one with more than one "=" throws KrException.
    explicit KrHTTPMessageBlock(const std::string& question);
    KrHTTPMessageBlock(KrHTTPMessageBlock&& other) noexcept;
    KrHTTPMessageBlock& operator=(KrHTTPMessageBlock&& other) noexcept;
    KrHTTPMessageBlock(const KrHTTPMessageBlock&) = delete;
    KrHTTPMessageBlock& operator=(const KrHTTPMessageBlock&) = delete;
    ~KrHTTPMessageBlock();

    // The whole content; empty without content.
    std::string text() const;
    // Replaces the content by a new buffer holding the bytes.
    void setContent(const char* data, size_t length);
    void setContent(const std::string& bytes) { setContent(bytes.data(), bytes.size()); }
    void setContent(std::string&& bytes);

    // The value bytes; null when the part has none.
    std::unique_ptr<KrStringBuf> content;
    // A multipart part's own header lines by lower-case name.
    std::map<std::string, std::vector<std::string>> headerFields;
    // "name" and "mimetype".
    std::map<std::string, std::string> fields;
};

class KrHTTPMessageBlockDisposition : public std::map<std::string, KrHTTPMessageBlock*> {
  public:
    // Inline: every message has several, mostly empty, and ends them all.
    virtual ~KrHTTPMessageBlockDisposition() = default;
    bool has(const std::string& name) const { return find(name) != end(); }
};
