// The catalogue of message classes: the field tables of the Tessel messages.

#include <iterator>

#include "outside/xml/CNMessageSchema.h"
#include "outside/xml/TesselMessages.h"

namespace {

using K = CNFieldKind;
using namespace Tessel;

template <class T>
CNMessageBase* Make() {
  return new T();
}

constexpr CNFieldDef kReqFields[] = {
    {"subclientId", K::Int64, 1, 1, kMAMountPointReqSubclientIdId, nullptr},
    {"mountingPoint", K::Text, 2, 2, kMAMountPointReqMountingPointId, nullptr},
    {"noCacheUpdate", K::Bool, 3, 6, kMAMountPointReqNoCacheUpdateId, nullptr},
    {"mountAll", K::Bool, 4, 7, kMAMountPointReqMountAllId, nullptr},
    {"deinitAll", K::Bool, 5, 8, kMAMountPointReqDeinitAllId, nullptr},
    {"refreshCache", K::Int64, 13, 13, kMAMountPointReqRefreshCacheId, nullptr},
};
constexpr CNClassDef kReq = {"MAMountPointReq", kFamily, kMAMountPointReqType,
                             kMAMountPointReqTag, kReqFields, std::size(kReqFields),
                             &Make<MAMountPointReq>};

constexpr CNFieldDef kGenericFields[] = {
    {"errorCode", K::Int64, 1, 1, kGenericRespErrorCodeId, nullptr},
};
constexpr CNClassDef kGeneric = {"GenericResp", kFamily, kGenericRespType, kGenericRespTag,
                                 kGenericFields, std::size(kGenericFields),
                                 &Make<GenericResp>};

constexpr CNFieldDef kRespFields[] = {
    {"response", K::Object, 1, 1, kMAMountPointRespResponseId, &kGeneric},
};
constexpr CNClassDef kResp = {"MAMountPointResp", kFamily, kMAMountPointRespType,
                              kMAMountPointRespTag, kRespFields, std::size(kRespFields),
                              &Make<MAMountPointResp>};

constexpr CNFieldDef kPathFields[] = {
    {"hostName", K::Text, 1, 1, kMADataPathsHostNameId, nullptr},
    {"mountPath", K::Text, 2, 5, kMADataPathsMountPathId, nullptr},
    {"mountPathId", K::Int64, 3, 9, kMADataPathsMountPathIdId, nullptr},
};
constexpr CNClassDef kPath = {"MADataPaths", kFamily, kMADataPathsType, kMADataPathsTag,
                              kPathFields, std::size(kPathFields), &Make<MADataPaths>};

constexpr CNFieldDef kCacheFields[] = {
    {"dataPaths", K::List, 1, 1, kMADataPathsListCacheDataPathsId, &kPath},
};
constexpr CNClassDef kCache = {"MADataPathsListCache", kFamily, kMADataPathsListCacheType,
                               kMADataPathsListCacheTag, kCacheFields, std::size(kCacheFields),
                               &Make<MADataPathsListCache>};

constexpr CNFieldDef kFileFields[] = {
    {"fileName", K::Text, 1, 1, kLogBackupToDiskFileMetadataFileNameId, nullptr},
    {"openTime", K::Int64, 2, 5, kLogBackupToDiskFileMetadataOpenTimeId, nullptr},
};
constexpr CNClassDef kFile = {"LogBackupToDiskFileMetadata", kFamily,
                              kLogBackupToDiskFileMetadataType, kLogBackupToDiskFileMetadataTag,
                              kFileFields, std::size(kFileFields),
                              &Make<LogBackupToDiskFileMetadata>};

constexpr CNFieldDef kStreamFields[] = {
    {"streamNumber", K::Int64, 1, 1, kLogBackupToDiskStreamMetadataStreamNumberId, nullptr},
    {"files", K::List, 2, 2, kLogBackupToDiskStreamMetadataFilesId, &kFile},
    {"maHostName", K::Text, 3, 3, kLogBackupToDiskStreamMetadataMaHostNameId, nullptr},
    {"backupTime", K::Int64, 4, 7, kLogBackupToDiskStreamMetadataBackupTimeId, nullptr},
};
constexpr CNClassDef kStream = {"LogBackupToDiskStreamMetadata", kFamily,
                                kLogBackupToDiskStreamMetadataType,
                                kLogBackupToDiskStreamMetadataTag, kStreamFields,
                                std::size(kStreamFields), &Make<LogBackupToDiskStreamMetadata>};

constexpr const CNClassDef* kClasses[] = {&kReq,  &kResp, &kGeneric, &kCache,
                                          &kPath, &kFile, &kStream};

}  // namespace

namespace CNCatalog {

const CNClassDef* ByType(int family, int type) {
  for (const CNClassDef* cls : kClasses)
    if (cls->family == family && cls->type == type) return cls;
  return nullptr;
}

const CNClassDef* ByName(std::string_view name) {
  for (const CNClassDef* cls : kClasses)
    if (name == cls->name) return cls;
  return nullptr;
}

const CNClassDef* ByTag(uint32_t classTag) {
  for (const CNClassDef* cls : kClasses)
    if (cls->classTag == classTag) return cls;
  return nullptr;
}

std::unique_ptr<CNMessageBase> Create(const CNClassDef& cls) {
  return std::unique_ptr<CNMessageBase>(cls.make());
}

}  // namespace CNCatalog
