#pragma once
// A message of the suite's XML message library, and the list container of its list fields.
//
// A message belongs to one class of the catalogue (CNMessageSchema.h), chosen by the family and
// type number given to the constructor. Its fields are typed (64-bit integer, boolean, text,
// nested message, list of nested messages) and are addressed as the callers address them: by
// the field identifier, together with the class tag and the field's index numbers, which must
// match the catalogue.
//
// Unknown fields. An accessor whose field identifier is not one of the class's, or whose class
// tag, index numbers or kind do not match, touches no field: setters return kErrUnknownField,
// value getters return 0 or empty text, ByRef getters return a reference to a scratch value
// of this message (zeroed on every such call, never serialised), getlistobject returns the
// immutable empty list. Nothing crashes and no field changes.
//
// Booleans. A boolean field is kept as one byte 0/1 at the start of its 64-bit storage, and
// the other seven bytes are zero. getboolByRef gives a bool& to it; getint64ByRef gives the
// int64_t& of the same storage, so `*reinterpret_cast<bool*>(&getint64ByRef(...))` reads the
// same bool object (the two are members of one union). getint64 by value returns 0 or 1.
// Prefer getboolByRef or getint64 over reading the 64-bit storage of a boolean as a number.
//
// References. References and pointers returned by the accessors stay valid as long as the
// message lives; a successful unserialize or an assignment from a message of the same class
// keeps them valid (the contents are moved into the same storage), an assignment from a
// message of another class invalidates them.
//
// Copies. Copy construction and assignment make independent deep copies (nested messages and
// list records included). Like the standard containers, a copy throws std::bad_alloc when
// memory runs out; every other operation reports failure through its result instead.
//
// Serialised form: the element named after the class, scalar fields as attributes (every
// scalar field is written; booleans as 0/1), a nested message as one child element named
// after its field, each list record as one child element named after the list field. No
// indentation. Documents come from the network: see unserialize for what is refused.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/xml/CNMessageSchema.h"

namespace pugi {
class xml_node;
}

class CNMessageList;
class CNMessageFactory;

class KXMP_EXPORT CNMessageBase {
 public:
  // Results of setters, serialize and unserialize: 0 success, a positive value otherwise.
  enum Result : int {
    kOk = 0,
    kErrUnknownField = 1,   // no such field (identifier, class tag, index numbers or kind)
    kErrWrongClass = 2,     // a nested message of another class than the field's
    kErrNoMemory = 3,
    kErrUnknownMessage = 4, // the message's (family, type) is not in the catalogue
    kErrTooBig = 5,         // document larger than the reader's cap (see unserialize)
    kErrTooDeep = 6,        // elements nested deeper than kMaxDepth
    kErrForbidden = 7,      // <!DOCTYPE, <!ENTITY or any other <! declaration
    kErrMalformed = 8,      // not well-formed XML, text content, repeated attribute
    kErrWrongRoot = 9,      // root element of another class
    kErrBadValue = 10,      // a number or boolean that is not exactly one
    kErrUnknownName = 11,   // attribute or element that is not a field of the class
    kErrBadText = 12,       // text with a NUL character, which XML cannot carry
  };
  static const char* ResultText(int result);

  // Caps of unserialize: documents from the network (one frame), and documents this system
  // wrote to storage or local files, which must read back whatever was written.
  static constexpr size_t kMaxDocumentSize = 1024 * 1024;
  static constexpr size_t kMaxStoredDocumentSize = size_t(256) << 20;
  static constexpr int kMaxDepth = 64;

  // A message of the class that (family, type) names. An unknown pair gives a message
  // without fields: every accessor refuses, serialize and unserialize fail.
  CNMessageBase(int family, int type);
  explicit CNMessageBase(const CNClassDef& cls);
  virtual ~CNMessageBase();
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  // A moved-from message keeps its class and reads as empty.
  CNMessageBase(CNMessageBase&& other) noexcept;
  CNMessageBase& operator=(CNMessageBase&& other) noexcept;

  uint32_t getTagID() const;     // the class tag; 0 for an unknown class
  const char* getTagName() const;  // the XML name; "" for an unknown class
  int getFamily() const { return family_; }
  int getType() const { return type_; }
  const CNClassDef* getClassDef() const { return cls_; }

  // Integer and boolean fields. getint64 takes the first index number only.
  int64_t getint64(int idx, uint32_t classTag, uint32_t fieldId) const;
  int setint64(int idx1, int idx2, int64_t value, uint32_t classTag, uint32_t fieldId);
  int64_t& getint64ByRef(int idx1, int idx2, uint32_t classTag, uint32_t fieldId);
  bool& getboolByRef(int idx1, int idx2, uint32_t classTag, uint32_t fieldId);

  // Text fields.
  std::string getstring(int idx1, int idx2, uint32_t classTag, uint32_t fieldId) const;
  int setstring(int idx1, int idx2, const std::string& value, uint32_t classTag,
                uint32_t fieldId);
  std::string& getstringByRef(int idx1, int idx2, uint32_t classTag, uint32_t fieldId);

  // Nested message fields. setObjectAccessor stores a copy of *nested (the caller keeps its
  // object); null removes the nested message. A message of another class than the field's is
  // refused with kErrWrongClass. getObjectAccessor returns the stored message, or null.
  int setObjectAccessor(const CNMessageBase* nested, int idx1, int idx2, uint32_t classTag,
                        uint32_t fieldId);
  CNMessageBase* getObjectAccessor(int idx1, int idx2, uint32_t classTag, uint32_t fieldId);

  // List fields. With `create` the list is made when missing. Never null: a list that does
  // not exist (and was not to be created) or an unknown field gives CNMessageList::Empty(),
  // an immutable empty list whose mutators refuse, so it cannot be used to change anything.
  CNMessageList* getlistobject(int idx1, int idx2, uint32_t classTag, uint32_t fieldId,
                               bool create);

  // Writes the message as XML into `out` (replacing its content); `withDeclaration` puts an
  // XML declaration in front. Returns 0, or a Result with `out` left empty; a document over
  // kMaxStoredDocumentSize is refused (kErrTooBig), as nothing could read it back.
  int serialize(std::string& out, bool withDeclaration) const;
  // Fills the message from an XML document of its own class. Refused (non-zero, message
  // unchanged): more than maxBytes bytes (kMaxDocumentSize for what comes from the network,
  // kMaxStoredDocumentSize for documents read back from storage), elements deeper than kMaxDepth, any
  // <!DOCTYPE/<!ENTITY declaration, malformed XML, a root of another class, attributes or
  // elements that are not fields of the class, a number that is not a whole decimal 64-bit
  // integer, a boolean other than 0/1/true/false. Missing fields keep their empty value.
  int unserialize(const std::string& in, size_t maxBytes = kMaxDocumentSize);

 private:
  friend class CNMessageFactory;
  struct Slot;

  Slot* find(int idx1, int idx2, bool checkIdx2, uint32_t classTag, uint32_t fieldId,
             CNFieldKind kind, CNFieldKind altKind) const;
  // Moves the fields of a message of the same class into this one's storage.
  void adopt(CNMessageBase& from) noexcept;
  int toXml(pugi::xml_node& node) const;
  int fromXml(const pugi::xml_node& node, int depth);

  const CNClassDef* cls_ = nullptr;
  int family_ = 0;
  int type_ = 0;
  std::vector<Slot> slots_;  // one per field of cls_, in table order
  // Targets of ByRef accessors on unknown fields (see above).
  union { int64_t i; bool b; } scratchScalar_{0};
  std::string scratchText_;
};

// The records of a list field, kept by value in order of addition. References to records stay
// valid while records are added or removed at the end.
class KXMP_EXPORT CNMessageList {
 public:
  using iterator = std::deque<CNMessageBase>::iterator;
  using const_iterator = std::deque<CNMessageBase>::const_iterator;

  explicit CNMessageList(const CNClassDef& itemClass) : itemClass_(&itemClass) {}
  // The shared immutable empty list (see getlistobject).
  static CNMessageList* Empty();

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  // The record at i, or null when i is out of range.
  CNMessageBase* at(size_t i);
  const CNMessageBase* at(size_t i) const;
  // The last record, or null when the list is empty.
  CNMessageBase* back();

  // Appends a new empty record of the list's class; null when refused (immutable list) or out
  // of memory.
  CNMessageBase* append();
  // Appends a copy of `record`; kErrWrongClass for a record of another class,
  // kErrUnknownField on the immutable list.
  int push_back(const CNMessageBase& record);
  // Removes the last record; nothing when empty or immutable.
  void pop_back();
  void clear();

  const CNClassDef* itemClass() const { return itemClass_; }
  bool isImmutable() const { return itemClass_ == nullptr; }

 private:
  CNMessageList() = default;  // the immutable empty list

  const CNClassDef* itemClass_ = nullptr;
  std::deque<CNMessageBase> items_;
};
