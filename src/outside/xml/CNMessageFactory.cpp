// Building messages from received documents.

#include "outside/xml/CNMessageFactory.h"

#include <cerrno>
#include <new>

#include <pugixml.hpp>

#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/xml/CNXmlDocument.h"

namespace {

CZoError Refused(const FXCodeLocation& where, int result) {
  const int number = result == CNMessageBase::kErrTooBig    ? EMSGSIZE
                     : result == CNMessageBase::kErrNoMemory ? ENOMEM
                                                             : EBADMSG;
  return FXErrorUtil::ErrorErrNo(where, number, "XML message refused: %s [%d]",
                                 CNMessageBase::ResultText(result), result);
}

// Built at load, so reporting a shortage of memory needs none.
const CZoError kRefusedNoMemory = Refused(FX_LOC, CNMessageBase::kErrNoMemory);

}  // namespace

CZoError CNMessageFactory::FromXml(const std::string& xml, std::unique_ptr<CNMessageBase>& out) {
  try {
    pugi::xml_document doc;
    pugi::xml_node root;
    if (int r = CNXml::Load(xml, CNMessageBase::kMaxDocumentSize, doc, root)) return Refused(FX_LOC, r);
    const CNClassDef* cls = CNCatalog::ByName(root.name());
    if (!cls)
      return FXErrorUtil::ErrorErrNo(FX_LOC, EBADMSG, "Unknown XML message [%.64s]", root.name());
    std::unique_ptr<CNMessageBase> msg = CNCatalog::Create(*cls);
    if (int r = msg->fromXml(root, 1)) return Refused(FX_LOC, r);
    out = std::move(msg);
    return CZoError::Success();
  } catch (...) {
    return CaughtError(kRefusedNoMemory, FX_LOC);
  }
}
