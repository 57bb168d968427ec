#pragma once
// The static description of the message classes: for every class its XML name, family, type
// number and class tag, and for every field its name, kind, the two index numbers, and the
// field identifier. Accessors find a field by its identifier and then check that the class
// tag and the index numbers given by the caller are the ones recorded here.
//
// The tables are constant data (no mutable state), so they can be read from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "kxmp/kxmp_export.h"

class CNMessageBase;

enum class CNFieldKind : uint8_t {
  Int64,   // signed 64-bit integer
  Bool,    // boolean, one byte 0/1 at the start of the field's 64-bit storage
  Text,    // text
  Object,  // one nested message of the class `nested`
  List,    // list of nested messages of the class `nested`
};

struct CNClassDef;

struct CNFieldDef {
  const char* name;  // XML attribute (scalars) or child element (nested messages) name
  CNFieldKind kind;
  int index;         // first index number
  int tag;           // second index number
  uint32_t id;       // field identifier
  const CNClassDef* nested;  // class of the nested message(s); null for scalars
};

struct CNClassDef {
  const char* name;  // XML element name of the message, also its tag name
  int family;
  int type;
  uint32_t classTag;
  const CNFieldDef* fields;
  size_t fieldCount;
  // Makes a new empty message of the class's C++ type.
  CNMessageBase* (*make)();
};

namespace CNCatalog {
// The class with this family and type number; null when there is none.
KXMP_EXPORT const CNClassDef* ByType(int family, int type);
// The class whose XML name is `name`; null when there is none.
KXMP_EXPORT const CNClassDef* ByName(std::string_view name);
// The class with this class tag; null when there is none.
KXMP_EXPORT const CNClassDef* ByTag(uint32_t classTag);
// A new empty message of the class, of its own C++ type (e.g. Tessel::MADataPaths).
std::unique_ptr<CNMessageBase> Create(const CNClassDef& cls);
}  // namespace CNCatalog
