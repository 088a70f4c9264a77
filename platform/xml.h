// The XML document service over pugixml. Documents are used by one thread at a
// time. Parsing drops white-space-only text, accepts a document type
// declaration and never expands an entity it declares. Markup carries no
// declaration and no indentation; empty elements render as <name/>.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/currency.h"

namespace qx {

class XmlNodeList;

// A handle to a node inside a document owned elsewhere; may be empty.
class XmlElement {
 public:
  XmlElement() = default;
  explicit XmlElement(pugi::xml_node node) : node_(node) {}

  bool IsNull() const { return !node_; }
  explicit operator bool() const { return static_cast<bool>(node_); }
  bool operator==(const XmlElement& other) const { return node_ == other.node_; }

  // Qualified name; "#text" for text nodes ("#cdata-section" for CDATA).
  std::string NodeName() const;
  // The name without its prefix.
  std::string LocalName() const;
  // Namespace name the element is in (resolved from xmlns declarations), or empty.
  std::string NamespaceUri() const;
  bool IsText() const;

  // Every child node, text nodes included.
  XmlNodeList ChildNodes() const;
  XmlElement AppendChild(std::string_view name);
  // Inserts a new element named |name| before |ref| (appends when |ref| is empty).
  XmlElement InsertChildBefore(std::string_view name, XmlElement ref);
  // Moves |child| (a node of this document, or a free element from
  // CreateElement) before |ref|, or to the end when |ref| is empty; returns
  // the inserted node. A free element is moved by copy: use the returned
  // handle afterwards, the one passed in no longer refers to it.
  XmlElement InsertBefore(XmlElement child, XmlElement ref);

  // The element's text; nullopt when that text is empty. For a text node its
  // text. Raises 'Element "<name>" does not contain a single text node' when
  // the children are anything but one single text or CDATA node (or none).
  std::optional<std::string> GetValue() const;
  // GetValue() or the empty text.
  std::string Text() const { return GetValue().value_or(std::string()); }
  // Replaces the content by text. Here and in the attribute setters a
  // character XML does not allow (a control character other than tab, line
  // feed and carriage return; U+FFFE, U+FFFF) becomes U+FFFD, and the text
  // ends at a NUL, so the document always renders to well-formed text.
  void SetValue(std::string_view text);
  void SetValue(int64_t value);
  // The host locale's currency form.
  void SetValue(Currency value);

  // nullopt when absent.
  std::optional<std::string> GetAttribute(std::string_view name) const;
  // The attribute's value or the empty text.
  std::string AttributeText(std::string_view name) const;
  // Adds (at the end, keeping first-set order) or replaces.
  void SetAttribute(std::string_view name, std::string_view value);
  // Adds at the end without looking for one of that name first: for an
  // element being built, which holds no attribute of that name yet.
  void AppendAttribute(std::string_view name, std::string_view value);

  // The node's own markup.
  std::string Xml() const;

  pugi::xml_node Native() const { return node_; }

 private:
  pugi::xml_node node_;
};

// Children of one node, fixed when the list is taken. Item is O(1).
class XmlNodeList {
 public:
  XmlNodeList() = default;
  explicit XmlNodeList(pugi::xml_node parent);

  size_t Count() const { return nodes_.size(); }
  XmlElement Item(size_t index) const;  // empty past the end
  XmlElement First() const;
  // The first child whose qualified or local name equals |name|. When the
  // parent is in a namespace only children in that namespace (compared
  // case-insensitively) count: "Body" finds "soapenv:Body".
  XmlElement FindByName(std::string_view name) const;
  // Only children in namespace |ns|; an empty |ns| lets every child count.
  XmlElement FindByName(std::string_view name, std::string_view ns) const;

 private:
  pugi::xml_node parent_;
  std::vector<pugi::xml_node> nodes_;
};

class XmlDocument {
 public:
  XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the content. The text must be well-formed XML 1.0 with
  // namespaces (checked by a strict parser); a document type declaration is
  // accepted, an entity declaration or a reference to an entity other than
  // the five predefined ones is not. Raises qx::Error with the parser's
  // description, line and column otherwise; the document is then empty.
  void LoadXml(std::string_view text);
  // Discards the content.
  void Clear();
  void LoadFromFile(const std::string& path);
  // Writes Text() atomically and durably.
  void SaveToFile(const std::string& path) const;

  XmlElement DocumentElement() const;
  // A free element of this document, to be placed with InsertBefore.
  XmlElement CreateElement(std::string_view name);

  // The whole document: Lines() each followed by CR LF; empty for an empty
  // document. An XML declaration only when the parsed text had one.
  std::string Text() const;
  // The declaration (when parsed), the document type (when parsed) and the
  // document element's markup, each split further at any line break it holds.
  std::vector<std::string> Lines() const;

 private:
  pugi::xml_document doc_;
  pugi::xml_document scratch_;  // holds free elements
  bool hasDeclaration_ = false;
};

}  // namespace qx
