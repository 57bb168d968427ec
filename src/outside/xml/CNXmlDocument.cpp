// Checking, loading and saving of XML documents for the message library.

#include "outside/xml/CNXmlDocument.h"

#include "outside/xml/CNMessageBase.h"

namespace CNXml {

namespace {

bool At(std::string_view text, size_t pos, std::string_view what) {
  return text.compare(pos, what.size(), what) == 0;
}

// Position just past `terminator` searched from `from`, or npos when it is missing.
size_t Past(std::string_view text, size_t from, std::string_view terminator) {
  size_t end = text.find(terminator, from);
  return end == std::string_view::npos ? end : end + terminator.size();
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

}  // namespace

int CheckText(std::string_view text, size_t maxBytes) {
  if (text.size() > maxBytes) return CNMessageBase::kErrTooBig;
  if (text.find('\0') != std::string_view::npos) return CNMessageBase::kErrMalformed;
  const size_t n = text.size();
  int depth = 0;
  size_t i = 0;
  while (i < n) {
    i = text.find('<', i);
    if (i == std::string_view::npos) break;
    size_t next;
    if (At(text, i, "<!--")) {
      next = Past(text, i + 4, "-->");
    } else if (At(text, i, "<![CDATA[")) {
      next = Past(text, i + 9, "]]>");
    } else if (At(text, i, "<?")) {
      next = Past(text, i + 2, "?>");
    } else if (At(text, i, "<!")) {
      return CNMessageBase::kErrForbidden;
    } else if (At(text, i, "</")) {
      if (depth == 0) return CNMessageBase::kErrMalformed;
      --depth;
      next = Past(text, i + 2, ">");
    } else {
      // A start tag: find its '>' outside quoted attribute values.
      char quote = 0;
      size_t j = i + 1;
      for (; j < n; ++j) {
        const char c = text[j];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>' || c == '<') {
          break;
        }
      }
      if (j >= n || text[j] != '>') return CNMessageBase::kErrMalformed;
      // Counting a doubtful tag as open only makes the limit stricter.
      if (text[j - 1] != '/' && ++depth > CNMessageBase::kMaxDepth)
        return CNMessageBase::kErrTooDeep;
      next = j + 1;
    }
    if (next == std::string_view::npos) return CNMessageBase::kErrMalformed;
    i = next;
  }
  return CNMessageBase::kOk;
}

int Load(const std::string& text, size_t maxBytes, pugi::xml_document& doc, pugi::xml_node& root) {
  if (int r = CheckText(text, maxBytes)) return r;
  // No parse_doctype, no whitespace or end-of-line conversion: values stay as written.
  // CDATA is kept so that it is seen (and refused) as text content.
  const unsigned int options = pugi::parse_escapes | pugi::parse_cdata;
  pugi::xml_parse_result parsed =
      doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
  if (parsed.status == pugi::status_out_of_memory) return CNMessageBase::kErrNoMemory;
  if (!parsed) return CNMessageBase::kErrMalformed;
  root = pugi::xml_node();
  for (pugi::xml_node child : doc.children()) {
    if (child.type() != pugi::node_element) return CNMessageBase::kErrMalformed;
    if (root) return CNMessageBase::kErrMalformed;  // a second root
    root = child;
  }
  return root ? CNMessageBase::kOk : CNMessageBase::kErrMalformed;
}

void Save(const pugi::xml_document& doc, bool withDeclaration, std::string& out) {
  StringWriter writer(out);
  unsigned int flags = pugi::format_raw;
  if (!withDeclaration) flags |= pugi::format_no_declaration;
  doc.save(writer, "", flags, pugi::encoding_utf8);
}

}  // namespace CNXml
