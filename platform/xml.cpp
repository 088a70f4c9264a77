// The XML document service over pugixml: parsing, navigation by name and
// namespace, value and attribute access, and serialisation.
#include "platform/xml.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"

namespace qx {
namespace {

// Escapes are expanded for the predefined entities and character references
// only: the strict check below refuses a text that declares or refers to any
// other entity, so nothing is ever expanded or silently kept as literal text.
// Comments and processing instructions are children like any other and are
// kept. Fragment mode keeps text outside the document element, so that it can
// be refused below instead of being dropped silently.
constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_declaration |
                                 pugi::parse_doctype | pugi::parse_comments | pugi::parse_pi |
                                 pugi::parse_fragment;

constexpr unsigned kFormatFlags = pugi::format_raw | pugi::format_no_declaration;

bool IsTextNode(pugi::xml_node node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// Collects printed markup into a string.
class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

std::string Print(pugi::xml_node node) {
  std::string text;
  StringWriter writer(text);
  node.print(writer, "", kFormatFlags, pugi::encoding_utf8);
  return text;
}

// Collects printed markup as lines, each followed by CR LF: every line break
// (CR LF, CR or LF) becomes CR LF, and Finish() ends a last line that has
// none. A CR LF split across two chunks counts once.
class LinesWriter : public pugi::xml_writer {
 public:
  explicit LinesWriter(std::string& out) : out_(out) {}

  void write(const void* data, size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    if (size == 0) return;
    if (pendingCR_ && bytes[0] == '\n') {
      ++bytes;
      --size;
    }
    pendingCR_ = false;
    if (std::memchr(bytes, '\r', size) == nullptr && std::memchr(bytes, '\n', size) == nullptr) {
      out_.append(bytes, size);  // the usual case: no line break at all
      openLine_ = size > 0;
      return;
    }
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
      if (bytes[i] != '\r' && bytes[i] != '\n') continue;
      out_.append(bytes + start, i - start);
      out_ += "\r\n";
      if (bytes[i] == '\r') {
        if (i + 1 == size) {
          pendingCR_ = true;
        } else if (bytes[i + 1] == '\n') {
          ++i;
        }
      }
      start = i + 1;
    }
    out_.append(bytes + start, size - start);
    openLine_ = start < size;
  }

  // Ends the last line of one printed node.
  void Finish() {
    if (openLine_) out_ += "\r\n";
    openLine_ = false;
    pendingCR_ = false;
  }

 private:
  std::string& out_;
  bool pendingCR_ = false;  // the last chunk ended in CR
  bool openLine_ = false;   // text follows the last line break
};

std::string_view PrefixOf(std::string_view qualifiedName) {
  const size_t colon = qualifiedName.find(':');
  return colon == std::string_view::npos ? std::string_view() : qualifiedName.substr(0, colon);
}

std::string_view LocalOf(std::string_view qualifiedName) {
  const size_t colon = qualifiedName.find(':');
  return colon == std::string_view::npos ? qualifiedName : qualifiedName.substr(colon + 1);
}

// The namespace name bound to the element's prefix (or the default
// namespace) by the nearest xmlns declaration on it or an ancestor.
std::string ResolveNamespace(pugi::xml_node node) {
  if (node.type() != pugi::node_element) return std::string();
  const std::string_view prefix = PrefixOf(node.name());
  if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
  const std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
  for (pugi::xml_node n = node; n && n.type() == pugi::node_element; n = n.parent()) {
    if (const pugi::xml_attribute a = n.attribute(attribute.c_str())) return a.value();
  }
  return std::string();
}

bool NameMatches(pugi::xml_node node, std::string_view name) {
  const std::string_view qualified = node.name();
  return qualified == name || LocalOf(qualified) == name;
}

void RemoveChildren(pugi::xml_node node) {
  while (pugi::xml_node child = node.first_child()) node.remove_child(child);
}

// What makes a parsed text other than one document: at most one declaration,
// first; at most one document type, before the element; exactly one element;
// no text outside it.
std::string TopLevelProblem(const pugi::xml_document& doc) {
  int elements = 0;
  bool doctype = false;
  for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
    switch (n.type()) {
      case pugi::node_declaration:
        if (n != doc.first_child()) return "Misplaced XML declaration";
        break;
      case pugi::node_doctype:
        if (doctype || elements > 0) return "Misplaced document type declaration";
        doctype = true;
        break;
      case pugi::node_element:
        if (++elements > 1) return "Only one top level element is allowed";
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return "Text is not allowed outside the document element";
    }
  }
  return elements == 0 ? "No document element found" : std::string();
}

// The XML 1.0 and namespaces well-formedness check, by expat, that every text
// passes before pugixml (which is lenient) builds the document. A document
// type declaration is accepted; entity declarations are refused, and so is a
// reference to an entity that is not predefined, so that no text is ever
// expanded beyond what the author wrote.
class StrictCheck {
 public:
  StrictCheck() : parser_(XML_ParserCreateNS("UTF-8", '\x01')) {
    if (parser_ == nullptr) throw Error("XML parse error: out of memory");
    XML_SetUserData(parser_, this);
    XML_SetEntityDeclHandler(parser_, &StrictCheck::OnEntityDecl);
    XML_SetSkippedEntityHandler(parser_, &StrictCheck::OnSkippedEntity);
  }
  StrictCheck(const StrictCheck&) = delete;
  StrictCheck& operator=(const StrictCheck&) = delete;
  ~StrictCheck() { XML_ParserFree(parser_); }

  // The problem with its line and column, or the empty text for a
  // well-formed text.
  std::string Problem(std::string_view text) {
    const char* data = text.data();
    size_t left = text.size();
    XML_Status status = XML_STATUS_OK;
    do {  // expat takes lengths as int: very long texts go in pieces
      const int piece = static_cast<int>(std::min<size_t>(left, INT_MAX / 2));
      status = XML_Parse(parser_, data, piece, piece == static_cast<int>(left));
      data += piece;
      left -= static_cast<size_t>(piece);
    } while (status == XML_STATUS_OK && left > 0);
    if (status == XML_STATUS_OK) return std::string();
    const std::string what =
        refusal_.empty() ? XML_ErrorString(XML_GetErrorCode(parser_)) : refusal_;
    return what + " at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(parser_) + 1);
  }

 private:
  void Refuse(std::string what) {
    if (refusal_.empty()) refusal_ = std::move(what);
    XML_StopParser(parser_, XML_FALSE);
  }

  static void XMLCALL OnEntityDecl(void* self, const XML_Char* name, int, const XML_Char*, int,
                                   const XML_Char*, const XML_Char*, const XML_Char*,
                                   const XML_Char*) {
    static_cast<StrictCheck*>(self)->Refuse("entity declaration '" + std::string(name) +
                                            "' not accepted");
  }

  static void XMLCALL OnSkippedEntity(void* self, const XML_Char* name, int) {
    static_cast<StrictCheck*>(self)->Refuse("undefined entity '" + std::string(name) + "'");
  }

  XML_Parser parser_;
  std::string refusal_;
};

// |text| with every character XML 1.0 does not allow (C0 controls other than
// tab, line feed and carriage return; U+FFFE and U+FFFF) replaced by U+FFFD,
// and cut at a NUL as a C string would be, so that whatever the library
// writes parses again.
std::string XmlSafeText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  const auto forbiddenAt = [&](size_t i) -> size_t {  // length of a forbidden character
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return 1;
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return 3;
    }
    return 0;
  };
  size_t i = 0;
  while (i < text.size() && forbiddenAt(i) == 0) ++i;
  if (i == text.size()) return std::string(text);
  std::string safe(text.substr(0, i));
  while (i < text.size()) {
    if (const size_t length = forbiddenAt(i)) {
      safe += "\xEF\xBF\xBD";
      i += length;
    } else {
      safe += text[i++];
    }
  }
  return safe;
}

[[noreturn]] void RaiseNullElement() { throw Error("Operation on an empty XML element"); }

}  // namespace

// --- XmlElement -----------------------------------------------------------

std::string XmlElement::NodeName() const {
  switch (node_.type()) {
    case pugi::node_pcdata:
      return "#text";
    case pugi::node_cdata:
      return "#cdata-section";
    case pugi::node_comment:
      return "#comment";
    case pugi::node_document:
      return "#document";
    default:
      return node_.name();
  }
}

std::string XmlElement::LocalName() const {
  if (node_.type() != pugi::node_element) return NodeName();
  return std::string(LocalOf(node_.name()));
}

std::string XmlElement::NamespaceUri() const { return ResolveNamespace(node_); }

bool XmlElement::IsText() const { return IsTextNode(node_); }

XmlNodeList XmlElement::ChildNodes() const { return XmlNodeList(node_); }

XmlElement XmlElement::AppendChild(std::string_view name) {
  if (!node_) RaiseNullElement();
  pugi::xml_node child = node_.append_child(std::string(name).c_str());
  if (!child) throw Error("Cannot append element <" + std::string(name) + ">");
  return XmlElement(child);
}

XmlElement XmlElement::InsertChildBefore(std::string_view name, XmlElement ref) {
  if (!node_) RaiseNullElement();
  if (!ref) return AppendChild(name);
  pugi::xml_node child = node_.insert_child_before(std::string(name).c_str(), ref.node_);
  if (!child) throw Error("Cannot insert element <" + std::string(name) + ">");
  return XmlElement(child);
}

XmlElement XmlElement::InsertBefore(XmlElement child, XmlElement ref) {
  if (!node_ || !child) RaiseNullElement();
  pugi::xml_node inserted;
  if (child.node_.root() == node_.root()) {
    inserted =
        ref ? node_.insert_move_before(child.node_, ref.node_) : node_.append_move(child.node_);
  } else {
    // A node of another pugixml document (a free element) is copied in and
    // removed from where it was.
    inserted =
        ref ? node_.insert_copy_before(child.node_, ref.node_) : node_.append_copy(child.node_);
    if (inserted) child.node_.parent().remove_child(child.node_);
  }
  if (!inserted) throw Error("Cannot insert node <" + child.NodeName() + ">");
  return XmlElement(inserted);
}

std::optional<std::string> XmlElement::GetValue() const {
  if (!node_) RaiseNullElement();
  if (node_.type() != pugi::node_element && node_.type() != pugi::node_document) {
    std::string value = node_.value();
    if (value.empty()) return std::nullopt;
    return value;
  }
  const pugi::xml_node first = node_.first_child();
  if (!first) return std::nullopt;
  if (!IsTextNode(first) || first.next_sibling()) {
    throw Error("Element \"" + NodeName() + "\" does not contain a single text node");
  }
  std::string value = first.value();
  if (value.empty()) return std::nullopt;
  return value;
}

void XmlElement::SetValue(std::string_view text) {
  if (!node_) RaiseNullElement();
  const std::string safe = XmlSafeText(text);
  if (node_.type() != pugi::node_element) {
    node_.set_value(safe.c_str());
    return;
  }
  RemoveChildren(node_);
  if (!safe.empty()) node_.append_child(pugi::node_pcdata).set_value(safe.c_str());
}

void XmlElement::SetValue(int64_t value) { SetValue(std::to_string(value)); }

void XmlElement::SetValue(Currency value) { SetValue(FormatLocale(value)); }

std::optional<std::string> XmlElement::GetAttribute(std::string_view name) const {
  if (!node_) RaiseNullElement();
  const pugi::xml_attribute attribute = node_.attribute(std::string(name).c_str());
  if (!attribute) return std::nullopt;
  return std::string(attribute.value());
}

std::string XmlElement::AttributeText(std::string_view name) const {
  return GetAttribute(name).value_or(std::string());
}

void XmlElement::SetAttribute(std::string_view name, std::string_view value) {
  if (!node_) RaiseNullElement();
  const std::string key(name);
  pugi::xml_attribute attribute = node_.attribute(key.c_str());
  if (!attribute) attribute = node_.append_attribute(key.c_str());
  if (!attribute) throw Error("Cannot set attribute " + key);
  const std::string safe = XmlSafeText(value);
  attribute.set_value(safe.data(), safe.size());
}

void XmlElement::AppendAttribute(std::string_view name, std::string_view value) {
  if (!node_) RaiseNullElement();
  const std::string key(name);
  pugi::xml_attribute attribute = node_.append_attribute(key.c_str());
  if (!attribute) throw Error("Cannot set attribute " + key);
  const std::string safe = XmlSafeText(value);
  attribute.set_value(safe.data(), safe.size());
}

std::string XmlElement::Xml() const {
  if (!node_) return std::string();
  return Print(node_);
}

// --- XmlNodeList ----------------------------------------------------------

XmlNodeList::XmlNodeList(pugi::xml_node parent) : parent_(parent) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    nodes_.push_back(child);
  }
}

XmlElement XmlNodeList::Item(size_t index) const {
  return index < nodes_.size() ? XmlElement(nodes_[index]) : XmlElement();
}

XmlElement XmlNodeList::First() const { return Item(0); }

XmlElement XmlNodeList::FindByName(std::string_view name) const {
  const std::string parentNamespace = ResolveNamespace(parent_);
  for (const pugi::xml_node child : nodes_) {
    if (child.type() != pugi::node_element || !NameMatches(child, name)) continue;
    if (parentNamespace.empty() || EqualsIgnoreCase(ResolveNamespace(child), parentNamespace)) {
      return XmlElement(child);
    }
  }
  return XmlElement();
}

XmlElement XmlNodeList::FindByName(std::string_view name, std::string_view ns) const {
  for (const pugi::xml_node child : nodes_) {
    if (child.type() != pugi::node_element || !NameMatches(child, name)) continue;
    if (ns.empty() || EqualsIgnoreCase(ResolveNamespace(child), ns)) return XmlElement(child);
  }
  return XmlElement();
}

// --- XmlDocument ----------------------------------------------------------

XmlDocument::XmlDocument() = default;

void XmlDocument::LoadXml(std::string_view text) {
  Clear();
  std::string problem = StrictCheck().Problem(text);
  if (!problem.empty()) throw Error("XML parse error: " + problem);
  const pugi::xml_parse_result result =
      doc_.load_buffer(text.data(), text.size(), kParseFlags, pugi::encoding_utf8);
  problem = result ? TopLevelProblem(doc_) : result.description();
  if (!problem.empty()) {
    Clear();
    throw Error(result ? "XML parse error: " + problem
                       : "XML parse error: " + problem + " at offset " +
                             std::to_string(result.offset));
  }
  hasDeclaration_ = doc_.first_child().type() == pugi::node_declaration;
}

void XmlDocument::Clear() {
  doc_.reset();
  scratch_.reset();
  hasDeclaration_ = false;
}

void XmlDocument::LoadFromFile(const std::string& path) { LoadXml(ReadFileBytes(path)); }

void XmlDocument::SaveToFile(const std::string& path) const { WriteFileAtomic(path, Text()); }

XmlElement XmlDocument::DocumentElement() const { return XmlElement(doc_.document_element()); }

XmlElement XmlDocument::CreateElement(std::string_view name) {
  pugi::xml_node element = scratch_.append_child(std::string(name).c_str());
  if (!element) throw Error("Cannot create element <" + std::string(name) + ">");
  return XmlElement(element);
}

std::vector<std::string> XmlDocument::Lines() const {
  // The declaration and the document type each stand on their own line;
  // line breaks inside the document's text split it further.
  std::vector<std::string> lines;
  for (pugi::xml_node n = doc_.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_declaration && !hasDeclaration_) continue;
    AppendLines(Print(n), lines);
  }
  return lines;
}

std::string XmlDocument::Text() const {
  // Lines() joined, each followed by CR LF, without building the list.
  std::string text;
  LinesWriter writer(text);
  for (pugi::xml_node n = doc_.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_declaration && !hasDeclaration_) continue;
    n.print(writer, "", kFormatFlags, pugi::encoding_utf8);
    writer.Finish();
  }
  return text;
}

}  // namespace qx
