// Field storage, typed access, copies and XML conversion of messages.

#include "outside/xml/CNMessageBase.h"

#include <charconv>
#include <cstring>
#include <new>

#include <pugixml.hpp>

#include "outside/log/Log.h"
#include "outside/xml/CNXmlDocument.h"

// The storage of one field. Only the member that the field's kind uses is ever filled.
struct CNMessageBase::Slot {
  // Integers live in `i`. Booleans live in `b`, at offset 0, with the bytes of `i` around it
  // zero: a reference to `i` is pointer-interconvertible with `b` (both are union members).
  union Scalar {
    int64_t i;
    bool b;
  } scalar{0};
  std::string text;
  std::unique_ptr<CNMessageBase> object;
  std::unique_ptr<CNMessageList> list;

  Slot() = default;
  Slot(const Slot& other)
      : scalar(other.scalar),
        text(other.text),
        object(other.object ? std::make_unique<CNMessageBase>(*other.object) : nullptr),
        list(other.list ? std::make_unique<CNMessageList>(*other.list) : nullptr) {}
  Slot(Slot&&) noexcept = default;
  Slot& operator=(Slot&&) noexcept = default;
  Slot& operator=(const Slot&) = delete;

  // The boolean, read as a byte so that any content of the storage is a valid read.
  bool ReadBool() const {
    unsigned char first;
    std::memcpy(&first, &scalar, 1);
    return first != 0;
  }
  // Stores a boolean as one byte 0/1 with the rest of the storage zero; `b` becomes the
  // active member, so bool& references to it are valid.
  bool& WriteBool(bool value) {
    scalar.i = 0;
    scalar.b = value;
    return scalar.b;
  }
};

namespace {

bool ParseInt64(const char* text, int64_t& value) {
  const char* end = text + std::strlen(text);
  if (text == end) return false;
  auto [ptr, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && ptr == end;
}

bool ParseBool(const char* text, bool& value) {
  if (!std::strcmp(text, "1") || !std::strcmp(text, "true")) {
    value = true;
    return true;
  }
  if (!std::strcmp(text, "0") || !std::strcmp(text, "false")) {
    value = false;
    return true;
  }
  return false;
}

bool IsScalar(CNFieldKind kind) {
  return kind == CNFieldKind::Int64 || kind == CNFieldKind::Bool || kind == CNFieldKind::Text;
}

// Index of the field called `name` among the class's fields, or -1.
int FieldByName(const CNClassDef& cls, const char* name) {
  for (size_t k = 0; k < cls.fieldCount; ++k)
    if (!std::strcmp(cls.fields[k].name, name)) return static_cast<int>(k);
  return -1;
}

}  // namespace

const char* CNMessageBase::ResultText(int result) {
  switch (result) {
    case kOk: return "success";
    case kErrUnknownField: return "no such field in the message class";
    case kErrWrongClass: return "nested message of the wrong class";
    case kErrNoMemory: return "out of memory";
    case kErrUnknownMessage: return "unknown message class";
    case kErrTooBig: return "document too large";
    case kErrTooDeep: return "document nested too deeply";
    case kErrForbidden: return "document declarations (DOCTYPE, ENTITY) are not accepted";
    case kErrMalformed: return "malformed XML";
    case kErrWrongRoot: return "document of another message class";
    case kErrBadValue: return "value is not a valid number or boolean";
    case kErrUnknownName: return "attribute or element is not a field of the message";
    case kErrBadText: return "text contains a NUL character";
  }
  return "unknown result";
}

CNMessageBase::CNMessageBase(int family, int type)
    : cls_(CNCatalog::ByType(family, type)), family_(family), type_(type) {
  if (cls_) slots_.resize(cls_->fieldCount);
}

CNMessageBase::CNMessageBase(const CNClassDef& cls)
    : cls_(&cls), family_(cls.family), type_(cls.type), slots_(cls.fieldCount) {}

CNMessageBase::~CNMessageBase() = default;

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : cls_(other.cls_), family_(other.family_), type_(other.type_), slots_(other.slots_) {}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept
    : cls_(other.cls_), family_(other.family_), type_(other.type_),
      slots_(std::move(other.slots_)) {
  other.slots_.clear();
}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this == &other) return *this;
  CNMessageBase copy(other);  // may throw; *this is unchanged then
  return *this = std::move(copy);
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept {
  if (this == &other) return *this;
  if (cls_ == other.cls_ && slots_.size() == other.slots_.size()) {
    adopt(other);
  } else {
    cls_ = other.cls_;
    family_ = other.family_;
    type_ = other.type_;
    slots_ = std::move(other.slots_);
    other.slots_.clear();
  }
  return *this;
}

void CNMessageBase::adopt(CNMessageBase& from) noexcept {
  for (size_t k = 0; k < slots_.size(); ++k) {
    Slot& to = slots_[k];
    Slot& src = from.slots_[k];
    to.scalar = src.scalar;
    to.text = std::move(src.text);
    to.object = std::move(src.object);
    to.list = std::move(src.list);
  }
}

uint32_t CNMessageBase::getTagID() const { return cls_ ? cls_->classTag : 0; }

const char* CNMessageBase::getTagName() const { return cls_ ? cls_->name : ""; }

CNMessageBase::Slot* CNMessageBase::find(int idx1, int idx2, bool checkIdx2, uint32_t classTag,
                                         uint32_t fieldId, CNFieldKind kind,
                                         CNFieldKind altKind) const {
  if (cls_ && cls_->classTag == classTag && slots_.size() == cls_->fieldCount) {
    for (size_t k = 0; k < cls_->fieldCount; ++k) {
      const CNFieldDef& f = cls_->fields[k];
      if (f.id != fieldId) continue;
      if (f.index == idx1 && (!checkIdx2 || f.tag == idx2) && (f.kind == kind || f.kind == altKind))
        return const_cast<Slot*>(&slots_[k]);
      break;
    }
  }
  KXLOG_DETAIL("Message [%s] has no field id[0x%X] index[%d,%d] class tag[0x%X]", getTagName(),
               fieldId, idx1, idx2, classTag);
  return nullptr;
}

int64_t CNMessageBase::getint64(int idx, uint32_t classTag, uint32_t fieldId) const {
  const CNFieldDef* def = nullptr;
  Slot* s = find(idx, 0, false, classTag, fieldId, CNFieldKind::Int64, CNFieldKind::Bool);
  if (!s) return 0;
  def = &cls_->fields[s - slots_.data()];
  return def->kind == CNFieldKind::Bool ? (s->ReadBool() ? 1 : 0) : s->scalar.i;
}

int CNMessageBase::setint64(int idx1, int idx2, int64_t value, uint32_t classTag,
                            uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Int64, CNFieldKind::Bool);
  if (!s) return kErrUnknownField;
  if (cls_->fields[s - slots_.data()].kind == CNFieldKind::Bool)
    s->WriteBool(value != 0);
  else
    s->scalar.i = value;
  return kOk;
}

int64_t& CNMessageBase::getint64ByRef(int idx1, int idx2, uint32_t classTag, uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Int64, CNFieldKind::Bool);
  if (!s) {
    scratchScalar_.i = 0;
    return scratchScalar_.i;
  }
  if (cls_->fields[s - slots_.data()].kind == CNFieldKind::Bool) s->WriteBool(s->ReadBool());
  return s->scalar.i;
}

bool& CNMessageBase::getboolByRef(int idx1, int idx2, uint32_t classTag, uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Bool, CNFieldKind::Bool);
  if (!s) {
    scratchScalar_.i = 0;
    scratchScalar_.b = false;
    return scratchScalar_.b;
  }
  return s->WriteBool(s->ReadBool());
}

std::string CNMessageBase::getstring(int idx1, int idx2, uint32_t classTag,
                                     uint32_t fieldId) const {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Text, CNFieldKind::Text);
  if (!s) return std::string();
  try {
    return s->text;
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

int CNMessageBase::setstring(int idx1, int idx2, const std::string& value, uint32_t classTag,
                             uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Text, CNFieldKind::Text);
  if (!s) return kErrUnknownField;
  try {
    s->text = value;
  } catch (const std::bad_alloc&) {
    return kErrNoMemory;
  }
  return kOk;
}

std::string& CNMessageBase::getstringByRef(int idx1, int idx2, uint32_t classTag,
                                           uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Text, CNFieldKind::Text);
  if (!s) {
    scratchText_.clear();
    return scratchText_;
  }
  return s->text;
}

int CNMessageBase::setObjectAccessor(const CNMessageBase* nested, int idx1, int idx2,
                                     uint32_t classTag, uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Object, CNFieldKind::Object);
  if (!s) return kErrUnknownField;
  if (!nested) {
    s->object.reset();
    return kOk;
  }
  if (nested->cls_ != cls_->fields[s - slots_.data()].nested) return kErrWrongClass;
  try {
    s->object = std::make_unique<CNMessageBase>(*nested);
  } catch (const std::bad_alloc&) {
    return kErrNoMemory;
  }
  return kOk;
}

CNMessageBase* CNMessageBase::getObjectAccessor(int idx1, int idx2, uint32_t classTag,
                                                uint32_t fieldId) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::Object, CNFieldKind::Object);
  return s ? s->object.get() : nullptr;
}

CNMessageList* CNMessageBase::getlistobject(int idx1, int idx2, uint32_t classTag,
                                            uint32_t fieldId, bool create) {
  Slot* s = find(idx1, idx2, true, classTag, fieldId, CNFieldKind::List, CNFieldKind::List);
  if (!s) return CNMessageList::Empty();
  if (!s->list && create) {
    try {
      s->list = std::make_unique<CNMessageList>(*cls_->fields[s - slots_.data()].nested);
    } catch (const std::bad_alloc&) {
      return CNMessageList::Empty();
    }
  }
  return s->list ? s->list.get() : CNMessageList::Empty();
}

int CNMessageBase::serialize(std::string& out, bool withDeclaration) const {
  out.clear();
  if (!cls_ || slots_.size() != cls_->fieldCount) return kErrUnknownMessage;
  try {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child(cls_->name);
    if (int r = toXml(root)) return r;
    std::string text;
    CNXml::Save(doc, withDeclaration, text);
    if (text.size() > kMaxStoredDocumentSize) return kErrTooBig;
    out.swap(text);
    return kOk;
  } catch (const std::bad_alloc&) {
    out.clear();
    return kErrNoMemory;
  }
}

int CNMessageBase::toXml(pugi::xml_node& node) const {
  if (!node) return kErrNoMemory;  // pugixml reports a failed allocation with a null node
  for (size_t k = 0; k < cls_->fieldCount; ++k) {
    const CNFieldDef& f = cls_->fields[k];
    const Slot& s = slots_[k];
    switch (f.kind) {
      case CNFieldKind::Int64:
      case CNFieldKind::Bool: {
        char buf[24];
        int64_t v = f.kind == CNFieldKind::Bool ? (s.ReadBool() ? 1 : 0) : s.scalar.i;
        auto res = std::to_chars(buf, buf + sizeof(buf) - 1, v);
        *res.ptr = '\0';
        if (!node.append_attribute(f.name).set_value(buf)) return kErrNoMemory;
        break;
      }
      case CNFieldKind::Text:
        // pugixml works on NUL-terminated texts: a NUL would silently cut the value.
        if (s.text.find('\0') != std::string::npos) return kErrBadText;
        if (!node.append_attribute(f.name).set_value(s.text.c_str())) return kErrNoMemory;
        break;
      case CNFieldKind::Object:
        if (s.object) {
          if (s.object->cls_ != f.nested) return kErrWrongClass;
          pugi::xml_node child = node.append_child(f.name);
          if (int r = s.object->toXml(child)) return r;
        }
        break;
      case CNFieldKind::List:
        if (s.list) {
          for (const CNMessageBase& item : *s.list) {
            if (item.cls_ != f.nested || item.slots_.size() != f.nested->fieldCount)
              return kErrWrongClass;
            pugi::xml_node child = node.append_child(f.name);
            if (int r = item.toXml(child)) return r;
          }
        }
        break;
    }
  }
  return kOk;
}

int CNMessageBase::unserialize(const std::string& in, size_t maxBytes) {
  if (!cls_ || slots_.size() != cls_->fieldCount) return kErrUnknownMessage;
  try {
    pugi::xml_document doc;
    pugi::xml_node root;
    if (int r = CNXml::Load(in, maxBytes, doc, root)) return r;
    if (std::strcmp(root.name(), cls_->name) != 0) return kErrWrongRoot;
    // Parse into a fresh message so that a refused document leaves nothing behind.
    CNMessageBase fresh(*cls_);
    if (int r = fresh.fromXml(root, 1)) return r;
    adopt(fresh);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kErrNoMemory;
  }
}

int CNMessageBase::fromXml(const pugi::xml_node& node, int depth) {
  if (depth > kMaxDepth) return kErrTooDeep;
  uint64_t seen = 0;  // scalar and object fields already read; the catalogue has < 64 fields
  auto markSeen = [&seen](int k) {
    const uint64_t bit = uint64_t{1} << k;
    const bool first = !(seen & bit);
    seen |= bit;
    return first;
  };
  for (pugi::xml_attribute attr : node.attributes()) {
    const int k = FieldByName(*cls_, attr.name());
    if (k < 0 || !IsScalar(cls_->fields[k].kind)) return kErrUnknownName;
    if (!markSeen(k)) return kErrMalformed;
    Slot& s = slots_[k];
    switch (cls_->fields[k].kind) {
      case CNFieldKind::Int64:
        if (!ParseInt64(attr.value(), s.scalar.i)) return kErrBadValue;
        break;
      case CNFieldKind::Bool: {
        bool v;
        if (!ParseBool(attr.value(), v)) return kErrBadValue;
        s.WriteBool(v);
        break;
      }
      default:
        s.text = attr.value();
        break;
    }
  }
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) {
      if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
        return kErrMalformed;  // messages carry no text content
      continue;
    }
    const int k = FieldByName(*cls_, child.name());
    if (k < 0 || IsScalar(cls_->fields[k].kind)) return kErrUnknownName;
    const CNFieldDef& f = cls_->fields[k];
    Slot& s = slots_[k];
    if (f.kind == CNFieldKind::Object) {
      if (!markSeen(k)) return kErrMalformed;
      auto nested = std::make_unique<CNMessageBase>(*f.nested);
      if (int r = nested->fromXml(child, depth + 1)) return r;
      s.object = std::move(nested);
    } else {
      if (!s.list) s.list = std::make_unique<CNMessageList>(*f.nested);
      CNMessageBase* item = s.list->append();
      if (!item) return kErrNoMemory;
      if (int r = item->fromXml(child, depth + 1)) return r;
    }
  }
  return kOk;
}
