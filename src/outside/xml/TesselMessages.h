#pragma once
// The messages of namespace Tessel that the system sends, receives and stores, with their
// family, type numbers, class tags and field identifiers. Each class only chooses its
// catalogue entry: CNMessageBase(kFamily, type) makes a message that behaves the same.
//
// Fields (first index, second index, kind):
//   MAMountPointReq         subclientId (1,1 int64), mountingPoint (2,2 text),
//                           noCacheUpdate (3,6 bool), mountAll (4,7 bool),
//                           deinitAll (5,8 bool), refreshCache (13,13 int64)
//   MAMountPointResp        response (1,1 GenericResp)
//   GenericResp             errorCode (1,1 int64)
//   MADataPathsListCache    dataPaths (1,1 list of MADataPaths)
//   MADataPaths             hostName (1,1 text), mountPath (2,5 text), mountPathId (3,9 int64)
//   LogBackupToDiskStreamMetadata  streamNumber (1,1 int64), files (2,2 list of
//                           LogBackupToDiskFileMetadata), maHostName (3,3 text),
//                           backupTime (4,7 int64)
//   LogBackupToDiskFileMetadata    fileName (1,1 text), openTime (2,5 int64)
//
// The mount request is made by the suite's control side; its family and type (22, 690) are
// this library's choice, next to the response's 691. refreshCache is read with the single
// index 13; its second index is recorded as 13 as well.

#include <cstdint>

#include "kxmp/kxmp_export.h"
#include "outside/xml/CNMessageBase.h"

namespace Tessel {

constexpr int kFamily = 22;

constexpr int kMAMountPointReqType = 690;
constexpr uint32_t kMAMountPointReqTag = 0x16780EF3;
constexpr uint32_t kMAMountPointReqSubclientIdId = 0xA4B466;
constexpr uint32_t kMAMountPointReqMountingPointId = 0x8E7DE7;
constexpr uint32_t kMAMountPointReqNoCacheUpdateId = 0x352241;
constexpr uint32_t kMAMountPointReqMountAllId = 0x9EA2C8;
constexpr uint32_t kMAMountPointReqDeinitAllId = 0xE55E3D;
constexpr uint32_t kMAMountPointReqRefreshCacheId = 0xABBD67;

// A tag that the service recognises and ignores; it has no class here.
constexpr uint32_t kIgnoredMessageTag = 0x09000102;

constexpr int kMAMountPointRespType = 691;
constexpr uint32_t kMAMountPointRespTag = 0x1689D01B;
constexpr uint32_t kMAMountPointRespResponseId = 0xC4D208;

constexpr int kGenericRespType = 422;
constexpr uint32_t kGenericRespTag = 0x16F2BE27;
constexpr uint32_t kGenericRespErrorCodeId = 0x9CB015;

constexpr int kMADataPathsListCacheType = 679;
constexpr uint32_t kMADataPathsListCacheTag = 0x168BFF34;
constexpr uint32_t kMADataPathsListCacheDataPathsId = 0x8FEE63;

constexpr int kMADataPathsType = 678;
constexpr uint32_t kMADataPathsTag = 0x165D1830;
constexpr uint32_t kMADataPathsHostNameId = 0xD86215;
constexpr uint32_t kMADataPathsMountPathId = 0xAF6ECF;
constexpr uint32_t kMADataPathsMountPathIdId = 0x1313FF;

constexpr int kLogBackupToDiskFileMetadataType = 676;
constexpr uint32_t kLogBackupToDiskFileMetadataTag = 0x16209C49;
constexpr uint32_t kLogBackupToDiskFileMetadataFileNameId = 0x2FF57C;
constexpr uint32_t kLogBackupToDiskFileMetadataOpenTimeId = 0x492916;

constexpr int kLogBackupToDiskStreamMetadataType = 677;
constexpr uint32_t kLogBackupToDiskStreamMetadataTag = 0x16EACACD;
constexpr uint32_t kLogBackupToDiskStreamMetadataStreamNumberId = 0xBF78BB;
constexpr uint32_t kLogBackupToDiskStreamMetadataFilesId = 0xDD6009;
constexpr uint32_t kLogBackupToDiskStreamMetadataMaHostNameId = 0xF33181;
constexpr uint32_t kLogBackupToDiskStreamMetadataBackupTimeId = 0x158A4F;

class KXMP_EXPORT MAMountPointReq : public CNMessageBase {
 public:
  MAMountPointReq() : CNMessageBase(kFamily, kMAMountPointReqType) {}
};

class KXMP_EXPORT MAMountPointResp : public CNMessageBase {
 public:
  MAMountPointResp() : CNMessageBase(kFamily, kMAMountPointRespType) {}
};

class KXMP_EXPORT GenericResp : public CNMessageBase {
 public:
  GenericResp() : CNMessageBase(kFamily, kGenericRespType) {}
};

class KXMP_EXPORT MADataPathsListCache : public CNMessageBase {
 public:
  MADataPathsListCache() : CNMessageBase(kFamily, kMADataPathsListCacheType) {}
};

class KXMP_EXPORT MADataPaths : public CNMessageBase {
 public:
  MADataPaths() : CNMessageBase(kFamily, kMADataPathsType) {}
};

class KXMP_EXPORT LogBackupToDiskFileMetadata : public CNMessageBase {
 public:
  LogBackupToDiskFileMetadata() : CNMessageBase(kFamily, kLogBackupToDiskFileMetadataType) {}
};

class KXMP_EXPORT LogBackupToDiskStreamMetadata : public CNMessageBase {
 public:
  LogBackupToDiskStreamMetadata()
      : CNMessageBase(kFamily, kLogBackupToDiskStreamMetadataType) {}
};

}  // namespace Tessel
