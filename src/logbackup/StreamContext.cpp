#include "kxmp/StreamContext.h"

#include <new>

#include "logbackup/DataWriterReaderMetadata.h"
#include "outside/log/Log.h"

StreamContext::StreamContext() {
  // Without memory the context is still usable: toString and fromString report the missing
  // metadata instead of the constructor throwing into the writer's or reader's constructor.
  try {
    metadata = std::make_unique<Tessel::LogBackupToDiskStreamMetadata>();
  } catch (const std::bad_alloc&) {
  }
  localFile.reset(new (std::nothrow) CZoFile());
}

StreamContext::~StreamContext() {
  delete fileHandle;
  fileHandle = nullptr;
}

std::string StreamContext::toString() {
  std::string text;
  if (!metadata) return text;
  try {
    // Names XML cannot carry as they are are written encoded (DataWriterReaderMetadata.h).
    Tessel::LogBackupToDiskStreamMetadata encoded(*metadata);
    kxmp::logbackup::EncodeFileNames(encoded);
    int r = encoded.serialize(text, false);
    if (r != 0) KXLOG_ERROR("Failed to serialize Tessel::LogBackupToDiskStreamMetadata object, error=[%d]", r);
  } catch (const std::bad_alloc&) {
  }
  return text;
}

int32_t StreamContext::fromString(const std::string& text) {
  if (!metadata) return -1;
  int r = metadata->unserialize(text, CNMessageBase::kMaxStoredDocumentSize);  // read back from storage
  if (r == 0) kxmp::logbackup::DecodeFileNames(*metadata);
  if (r != 0) {
    try {
      KXLOG_ERROR("Failed to unserialize XML string [\n%s\n], error=[%d]", text.c_str(), r);
    } catch (const std::bad_alloc&) {
    }
  }
  return r;
}
