#pragma once
// Builds the message of the right class from a received document, chosen by the name of its
// root element (the classes of TesselMessages.h).

#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"
#include "outside/xml/CNMessageBase.h"

class KXMP_EXPORT CNMessageFactory {
 public:
  // On success `out` holds a new message of the root element's class, of its own C++ type.
  // Errors (errno kind; `out` untouched): EMSGSIZE for a document over the size limit, ENOMEM
  // when memory runs out, EBADMSG for everything unserialize refuses and for a root element
  // that names no known class.
  static CZoError FromXml(const std::string& xml, std::unique_ptr<CNMessageBase>& out);
};
