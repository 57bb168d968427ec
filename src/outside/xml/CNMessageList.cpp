// The list container of list fields.

#include <new>

#include "outside/xml/CNMessageBase.h"

CNMessageList* CNMessageList::Empty() {
  // Holds nothing and every mutator refuses on it, so sharing it between threads is safe.
  static CNMessageList empty;
  return &empty;
}

CNMessageBase* CNMessageList::at(size_t i) { return i < items_.size() ? &items_[i] : nullptr; }

const CNMessageBase* CNMessageList::at(size_t i) const {
  return i < items_.size() ? &items_[i] : nullptr;
}

CNMessageBase* CNMessageList::back() { return items_.empty() ? nullptr : &items_.back(); }

CNMessageBase* CNMessageList::append() {
  if (isImmutable()) return nullptr;
  try {
    return &items_.emplace_back(*itemClass_);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int CNMessageList::push_back(const CNMessageBase& record) {
  if (isImmutable()) return CNMessageBase::kErrUnknownField;
  if (record.getClassDef() != itemClass_) return CNMessageBase::kErrWrongClass;
  try {
    items_.push_back(record);
  } catch (const std::bad_alloc&) {
    return CNMessageBase::kErrNoMemory;
  }
  return CNMessageBase::kOk;
}

void CNMessageList::pop_back() {
  if (!isImmutable() && !items_.empty()) items_.pop_back();
}

void CNMessageList::clear() {
  if (!isImmutable()) items_.clear();
}
