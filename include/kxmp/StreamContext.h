#pragma once
// The state a log backup writer or reader carries for its stream: the data-server file it has
// open and the stream metadata message that lists the files of the stream. toString and
// fromString carry the metadata as XML text.
//
// The members are public: the writer and reader, and the file-operation facade through a
// reference to fileHandle, work on them directly. The context owns what they point to.

#include <cstdint>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFileInterface.h"
#include "outside/util/CZoFile.h"
#include "outside/xml/TesselMessages.h"

class KXMP_EXPORT StreamContext {
 public:
  // metadata is a new empty message (null only when memory ran out).
  StreamContext();
  // Deletes a file handle still held (without closing it through the facade).
  ~StreamContext();
  StreamContext(const StreamContext&) = delete;
  StreamContext& operator=(const StreamContext&) = delete;

  // The metadata serialised; empty without metadata. A serialisation failure is logged and
  // the text made so far is returned.
  std::string toString();
  // Fills the metadata from text: 0 on success, -1 without metadata, else the message
  // library's result (logged together with the text).
  int32_t fromString(const std::string& text);

  // The open data-server file, or null. Filled by AMOpenFile and cleared by AMCloseFile.
  CFileInterface* fileHandle = nullptr;
  std::unique_ptr<Tessel::LogBackupToDiskStreamMetadata> metadata;
  std::unique_ptr<CZoFile> localFile;
};
