// test-labels: unit
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "outside/error/FXErrorUtil.h"
#include "outside/xml/CNMessageFactory.h"
#include "outside/xml/TesselMessages.h"

using namespace Tessel;

namespace {

constexpr uint32_t kReq = kMAMountPointReqTag;
constexpr uint32_t kStream = kLogBackupToDiskStreamMetadataTag;
constexpr uint32_t kFile = kLogBackupToDiskFileMetadataTag;
constexpr uint32_t kCache = kMADataPathsListCacheTag;
constexpr uint32_t kPaths = kMADataPathsTag;

CNMessageList* Files(CNMessageBase& m, bool create) {
  return m.getlistobject(2, 2, kStream, kLogBackupToDiskStreamMetadataFilesId, create);
}

void AddFile(CNMessageBase& m, const std::string& name, int64_t openTime) {
  CNMessageBase* rec = Files(m, true)->append();
  ASSERT_NE(rec, nullptr);
  ASSERT_EQ(rec->setstring(1, 1, name, kFile, kLogBackupToDiskFileMetadataFileNameId), 0);
  ASSERT_EQ(rec->setint64(2, 5, openTime, kFile, kLogBackupToDiskFileMetadataOpenTimeId), 0);
}

std::string FileName(const CNMessageBase& rec) {
  return rec.getstring(1, 1, kFile, kLogBackupToDiskFileMetadataFileNameId);
}

LogBackupToDiskStreamMetadata SampleStream() {
  LogBackupToDiskStreamMetadata m;
  m.setint64(1, 1, 3, kStream, kLogBackupToDiskStreamMetadataStreamNumberId);
  m.setstring(3, 3, "ma1", kStream, kLogBackupToDiskStreamMetadataMaHostNameId);
  AddFile(m, "log1", 1700000000);
  return m;
}

std::string Xml(const CNMessageBase& m) {
  std::string out;
  EXPECT_EQ(m.serialize(out, false), 0);
  return out;
}

}  // namespace

TEST(CNMessage, StreamMetadataDocumentIsReadable) {
  EXPECT_EQ(Xml(SampleStream()),
            "<LogBackupToDiskStreamMetadata streamNumber=\"3\" maHostName=\"ma1\" "
            "backupTime=\"0\"><files fileName=\"log1\" openTime=\"1700000000\"/>"
            "</LogBackupToDiskStreamMetadata>");
  std::string withDecl;
  ASSERT_EQ(SampleStream().serialize(withDecl, true), 0);
  EXPECT_EQ(withDecl.rfind("<?xml", 0), 0u);
}

TEST(CNMessage, ClassesAndConstructorsAgree) {
  EXPECT_EQ(MAMountPointReq().getTagID(), 0x16780EF3u);
  EXPECT_EQ(MAMountPointResp().getTagID(), 0x1689D01Bu);
  EXPECT_EQ(GenericResp().getTagID(), 0x16F2BE27u);
  EXPECT_EQ(MADataPathsListCache().getTagID(), 0x168BFF34u);
  EXPECT_EQ(MADataPaths().getTagID(), 0x165D1830u);
  EXPECT_EQ(LogBackupToDiskFileMetadata().getTagID(), 0x16209C49u);
  EXPECT_EQ(LogBackupToDiskStreamMetadata().getTagID(), 0x16EACACDu);
  EXPECT_STREQ(MAMountPointReq().getTagName(), "MAMountPointReq");

  // (family, type) alone picks the class table.
  CNMessageBase cache(22, 679);
  EXPECT_EQ(cache.getTagID(), kCache);
  CNMessageBase* rec = cache.getlistobject(1, 1, kCache, kMADataPathsListCacheDataPathsId, true)
                           ->append();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->getTagID(), kPaths);
  EXPECT_EQ(rec->getType(), 678);

  // An unknown pair has no fields and cannot be written or read.
  CNMessageBase unknown(22, 1);
  EXPECT_EQ(unknown.getTagID(), 0u);
  EXPECT_STREQ(unknown.getTagName(), "");
  std::string out = "old";
  EXPECT_EQ(unknown.serialize(out, false), CNMessageBase::kErrUnknownMessage);
  EXPECT_EQ(out, "");
  EXPECT_EQ(unknown.unserialize("<x/>"), CNMessageBase::kErrUnknownMessage);
  EXPECT_EQ(unknown.setint64(1, 1, 1, 0, 0), CNMessageBase::kErrUnknownField);
}

TEST(CNMessage, MountRequestRoundTripWithBooleanBytes) {
  MAMountPointReq req;
  ASSERT_EQ(req.setint64(1, 1, -2, kReq, kMAMountPointReqSubclientIdId), 0);
  ASSERT_EQ(req.setstring(2, 2, "/mnt/p", kReq, kMAMountPointReqMountingPointId), 0);
  ASSERT_EQ(req.setint64(3, 6, 1, kReq, kMAMountPointReqNoCacheUpdateId), 0);
  ASSERT_EQ(req.setint64(4, 7, 256, kReq, kMAMountPointReqMountAllId), 0);  // any non-zero: true
  ASSERT_EQ(req.setint64(13, 13, 7, kReq, kMAMountPointReqRefreshCacheId), 0);

  MAMountPointReq back;
  ASSERT_EQ(back.unserialize(Xml(req)), 0);
  // subclientId is unsigned for the caller: the bits come back unchanged.
  EXPECT_EQ(static_cast<uint64_t>(back.getint64ByRef(1, 1, kReq, kMAMountPointReqSubclientIdId)),
            std::numeric_limits<uint64_t>::max() - 1);
  EXPECT_EQ(back.getstringByRef(2, 2, kReq, kMAMountPointReqMountingPointId), "/mnt/p");
  EXPECT_EQ(back.getint64(13, kReq, kMAMountPointReqRefreshCacheId), 7);

  // The boolean storage read as one byte, the way the request handler reads it.
  int64_t& noCache = back.getint64ByRef(3, 6, kReq, kMAMountPointReqNoCacheUpdateId);
  int64_t& mountAll = back.getint64ByRef(4, 7, kReq, kMAMountPointReqMountAllId);
  int64_t& deinit = back.getint64ByRef(5, 8, kReq, kMAMountPointReqDeinitAllId);
  EXPECT_TRUE(*reinterpret_cast<bool*>(&noCache));
  EXPECT_TRUE(*reinterpret_cast<bool*>(&mountAll));
  EXPECT_FALSE(*reinterpret_cast<bool*>(&deinit));
  unsigned char bytes[8];
  std::memcpy(bytes, &mountAll, sizeof bytes);
  EXPECT_EQ(bytes[0], 1);
  for (int k = 1; k < 8; ++k) EXPECT_EQ(bytes[k], 0) << k;
  EXPECT_EQ(back.getint64(4, kReq, kMAMountPointReqMountAllId), 1);

  // Writing through getboolByRef changes the field.
  back.getboolByRef(5, 8, kReq, kMAMountPointReqDeinitAllId) = true;
  EXPECT_EQ(back.getint64(5, kReq, kMAMountPointReqDeinitAllId), 1);
  EXPECT_NE(Xml(back).find("deinitAll=\"1\""), std::string::npos);
}

TEST(CNMessage, BooleanAttributesAcceptWordsAndRefuseOthers) {
  MAMountPointReq req;
  EXPECT_EQ(req.unserialize("<MAMountPointReq mountAll=\"true\" deinitAll=\"false\"/>"), 0);
  EXPECT_EQ(req.getint64(4, kReq, kMAMountPointReqMountAllId), 1);
  EXPECT_EQ(req.unserialize("<MAMountPointReq mountAll=\"2\"/>"), CNMessageBase::kErrBadValue);
  EXPECT_EQ(req.unserialize("<MAMountPointReq mountAll=\"\"/>"), CNMessageBase::kErrBadValue);
}

TEST(CNMessage, ResponseCarriesNestedCopyOfGenericResponse) {
  MAMountPointResp resp;
  GenericResp generic;
  ASSERT_EQ(generic.setint64(1, 1, -0x20000005LL, kGenericRespTag, kGenericRespErrorCodeId), 0);
  ASSERT_EQ(resp.setObjectAccessor(&generic, 1, 1, kMAMountPointRespTag,
                                   kMAMountPointRespResponseId), 0);
  // The response holds its own copy: the caller's object can change or go away.
  generic.setint64(1, 1, 99, kGenericRespTag, kGenericRespErrorCodeId);

  std::unique_ptr<CNMessageBase> got;
  ASSERT_FALSE(CNMessageFactory::FromXml(Xml(resp), got).IsError());
  ASSERT_NE(dynamic_cast<MAMountPointResp*>(got.get()), nullptr);
  CNMessageBase* nested =
      got->getObjectAccessor(1, 1, kMAMountPointRespTag, kMAMountPointRespResponseId);
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(nested->getint64(1, kGenericRespTag, kGenericRespErrorCodeId), -0x20000005LL);

  // Another class in the field is refused; null removes the nested message.
  MADataPaths wrong;
  EXPECT_EQ(resp.setObjectAccessor(&wrong, 1, 1, kMAMountPointRespTag,
                                   kMAMountPointRespResponseId),
            CNMessageBase::kErrWrongClass);
  EXPECT_EQ(resp.setObjectAccessor(nullptr, 1, 1, kMAMountPointRespTag,
                                   kMAMountPointRespResponseId), 0);
  EXPECT_EQ(Xml(resp), "<MAMountPointResp/>");
  // A second <response> element is not a valid document.
  EXPECT_EQ(resp.unserialize("<MAMountPointResp><response errorCode=\"1\"/>"
                             "<response errorCode=\"2\"/></MAMountPointResp>"),
            CNMessageBase::kErrMalformed);
}

TEST(CNMessage, DataPathCacheRoundTripKeepsOrderAndTexts) {
  MADataPathsListCache cache;
  CNMessageList* list = cache.getlistobject(1, 1, kCache, kMADataPathsListCacheDataPathsId, true);
  const char* hosts[] = {"ma1", "MA1", "h<&>\"'\n\t\x01\xc3\xa9"};
  for (int k = 0; k < 3; ++k) {
    CNMessageBase* rec = list->append();
    ASSERT_NE(rec, nullptr);
    rec->setstring(1, 1, hosts[k], kPaths, kMADataPathsHostNameId);
    rec->setstring(2, 5, "/mp" + std::to_string(k), kPaths, kMADataPathsMountPathId);
    rec->setint64(3, 9, k - 1, kPaths, kMADataPathsMountPathIdId);
  }
  MADataPathsListCache back;
  ASSERT_EQ(back.unserialize(Xml(cache) + "\n"), 0);
  CNMessageList* got = back.getlistobject(1, 1, kCache, kMADataPathsListCacheDataPathsId, false);
  ASSERT_EQ(got->size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(got->at(k)->getstring(1, 1, kPaths, kMADataPathsHostNameId), hosts[k]);
    EXPECT_EQ(got->at(k)->getstring(2, 5, kPaths, kMADataPathsMountPathId),
              "/mp" + std::to_string(k));
    EXPECT_EQ(got->at(k)->getint64(3, kPaths, kMADataPathsMountPathIdId), k - 1);
  }
  // A text with a NUL cannot be written without losing its end.
  got->at(0)->setstring(1, 1, std::string("a\0b", 3), kPaths, kMADataPathsHostNameId);
  std::string out;
  EXPECT_EQ(back.serialize(out, false), CNMessageBase::kErrBadText);
}

TEST(CNMessage, ListsCreateOnlyWhenAsked) {
  LogBackupToDiskStreamMetadata m;
  CNMessageList* none = Files(m, false);
  ASSERT_NE(none, nullptr);
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(none->isImmutable());
  EXPECT_EQ(none->append(), nullptr);  // cannot be used to change anything
  EXPECT_NE(none->push_back(LogBackupToDiskFileMetadata()), 0);
  none->pop_back();
  EXPECT_TRUE(Files(m, false)->empty());
  EXPECT_EQ(Files(m, false), CNMessageList::Empty());

  CNMessageList* files = Files(m, true);
  EXPECT_FALSE(files->isImmutable());
  EXPECT_EQ(Files(m, false), files);
  AddFile(m, "a", 1);
  CNMessageBase* first = files->back();
  AddFile(m, "b", 2);
  EXPECT_EQ(files->at(0), first);  // records stay in place when the list grows
  EXPECT_EQ(files->at(2), nullptr);
  EXPECT_EQ(files->push_back(MADataPaths()), CNMessageBase::kErrWrongClass);
  EXPECT_EQ(files->push_back(*first), 0);
  EXPECT_EQ(FileName(*files->back()), "a");
  files->pop_back();
  files->pop_back();
  ASSERT_EQ(files->size(), 1u);
  EXPECT_EQ(FileName(*files->back()), "a");
  std::vector<std::string> names;
  for (const CNMessageBase& rec : *files) names.push_back(FileName(rec));
  EXPECT_EQ(names, std::vector<std::string>{"a"});
}

TEST(CNMessage, CopiesAreIndependent) {
  LogBackupToDiskStreamMetadata a = SampleStream();
  LogBackupToDiskStreamMetadata b = a;
  AddFile(b, "log2", 5);
  Files(b, false)->at(0)->setstring(1, 1, "changed", kFile, kLogBackupToDiskFileMetadataFileNameId);
  b.setstring(3, 3, "ma2", kStream, kLogBackupToDiskStreamMetadataMaHostNameId);
  ASSERT_EQ(Files(a, false)->size(), 1u);
  EXPECT_EQ(FileName(*Files(a, false)->at(0)), "log1");
  EXPECT_EQ(a.getstring(3, 3, kStream, kLogBackupToDiskStreamMetadataMaHostNameId), "ma1");

  // Assignment between messages of the same class keeps references valid.
  std::string& host = a.getstringByRef(3, 3, kStream, kLogBackupToDiskStreamMetadataMaHostNameId);
  a = b;
  EXPECT_EQ(host, "ma2");
  EXPECT_EQ(Files(a, false)->size(), 2u);
  Files(b, false)->clear();
  EXPECT_EQ(Files(a, false)->size(), 2u);

  // A moved-from message reads as empty; assigning another class takes that class.
  LogBackupToDiskStreamMetadata moved = std::move(b);
  EXPECT_EQ(Files(moved, false)->size(), 0u);  // b's list was cleared above
  EXPECT_EQ(moved.getstring(3, 3, kStream, kLogBackupToDiskStreamMetadataMaHostNameId), "ma2");
  EXPECT_EQ(b.getint64(1, kStream, kLogBackupToDiskStreamMetadataStreamNumberId), 0);
  CNMessageBase any(22, 677);
  any = MADataPaths();
  EXPECT_EQ(any.getTagID(), kPaths);
  EXPECT_EQ(any.setstring(1, 1, "h", kPaths, kMADataPathsHostNameId), 0);

  MAMountPointResp r1;
  GenericResp g;
  r1.setObjectAccessor(&g, 1, 1, kMAMountPointRespTag, kMAMountPointRespResponseId);
  MAMountPointResp r2(r1);
  r2.getObjectAccessor(1, 1, kMAMountPointRespTag, kMAMountPointRespResponseId)
      ->setint64(1, 1, 4, kGenericRespTag, kGenericRespErrorCodeId);
  EXPECT_EQ(r1.getObjectAccessor(1, 1, kMAMountPointRespTag, kMAMountPointRespResponseId)
                ->getint64(1, kGenericRespTag, kGenericRespErrorCodeId),
            0);
}

TEST(CNMessage, UnknownFieldsTouchNothing) {
  LogBackupToDiskStreamMetadata m = SampleStream();
  const std::string before = Xml(m);
  // Wrong identifier, wrong class tag, wrong index numbers, wrong kind.
  EXPECT_EQ(m.setint64(1, 1, 9, kStream, 0x123456), CNMessageBase::kErrUnknownField);
  EXPECT_EQ(m.setint64(1, 1, 9, kFile, kLogBackupToDiskStreamMetadataStreamNumberId),
            CNMessageBase::kErrUnknownField);
  EXPECT_EQ(m.setint64(1, 2, 9, kStream, kLogBackupToDiskStreamMetadataStreamNumberId),
            CNMessageBase::kErrUnknownField);
  EXPECT_EQ(m.setstring(1, 1, "x", kStream, kLogBackupToDiskStreamMetadataStreamNumberId),
            CNMessageBase::kErrUnknownField);
  EXPECT_EQ(m.getint64(2, kStream, kLogBackupToDiskStreamMetadataStreamNumberId), 0);
  EXPECT_EQ(m.getstring(3, 3, kStream, kLogBackupToDiskStreamMetadataStreamNumberId), "");
  EXPECT_EQ(m.getObjectAccessor(2, 2, kStream, kLogBackupToDiskStreamMetadataFilesId), nullptr);
  EXPECT_EQ(m.getlistobject(1, 1, kStream, kLogBackupToDiskStreamMetadataStreamNumberId, true),
            CNMessageList::Empty());
  // ByRef on an unknown field gives scratch storage that is reset and never written out.
  m.getint64ByRef(9, 9, kStream, 1) = 42;
  EXPECT_EQ(m.getint64ByRef(9, 9, kStream, 1), 0);
  m.getstringByRef(9, 9, kStream, 1) = "junk";
  EXPECT_EQ(m.getstringByRef(9, 9, kStream, 1), "");
  EXPECT_FALSE(m.getboolByRef(1, 1, kStream, kLogBackupToDiskStreamMetadataStreamNumberId));
  EXPECT_EQ(Xml(m), before);
}

TEST(CNMessage, RefusedDocumentsLeaveMessageUnchanged) {
  const std::string good = Xml(SampleStream());
  struct Case {
    const char* what;
    std::string xml;
    int result;
  };
  const std::string bigName(CNMessageBase::kMaxDocumentSize, 'a');
  const Case cases[] = {
      {"doctype", "<!DOCTYPE x [<!ENTITY e \"boom\">]>" + good, CNMessageBase::kErrForbidden},
      {"entity", "<!ENTITY e \"x\">" + good, CNMessageBase::kErrForbidden},
      {"size", "<LogBackupToDiskStreamMetadata maHostName=\"" + bigName + "\"/>",
       CNMessageBase::kErrTooBig},
      {"trailing letters", "<LogBackupToDiskStreamMetadata streamNumber=\"12abc\"/>",
       CNMessageBase::kErrBadValue},
      {"letters", "<LogBackupToDiskStreamMetadata streamNumber=\"abc\"/>",
       CNMessageBase::kErrBadValue},
      {"overflow", "<LogBackupToDiskStreamMetadata streamNumber=\"9223372036854775808\"/>",
       CNMessageBase::kErrBadValue},
      {"blank", "<LogBackupToDiskStreamMetadata streamNumber=\" 1\"/>",
       CNMessageBase::kErrBadValue},
      {"empty number", "<LogBackupToDiskStreamMetadata backupTime=\"\"/>",
       CNMessageBase::kErrBadValue},
      {"bad number in record",
       "<LogBackupToDiskStreamMetadata><files fileName=\"x\" openTime=\"1\"/>"
       "<files openTime=\"1.5\"/></LogBackupToDiskStreamMetadata>",
       CNMessageBase::kErrBadValue},
      {"wrong root", "<MADataPaths hostName=\"h\"/>", CNMessageBase::kErrWrongRoot},
      {"unclosed", "<LogBackupToDiskStreamMetadata streamNumber=\"1\">",
       CNMessageBase::kErrMalformed},
      {"mismatch", "<LogBackupToDiskStreamMetadata></files>", CNMessageBase::kErrMalformed},
      {"two roots", good + good, CNMessageBase::kErrMalformed},
      {"empty", "", CNMessageBase::kErrMalformed},
      {"text content", "<LogBackupToDiskStreamMetadata>hi</LogBackupToDiskStreamMetadata>",
       CNMessageBase::kErrMalformed},
      {"nul", std::string("<LogBackupToDiskStreamMetadata\0/>", 34), CNMessageBase::kErrMalformed},
      {"unknown attribute", "<LogBackupToDiskStreamMetadata color=\"red\"/>",
       CNMessageBase::kErrUnknownName},
      {"unknown element", "<LogBackupToDiskStreamMetadata><x/></LogBackupToDiskStreamMetadata>",
       CNMessageBase::kErrUnknownName},
      {"scalar as element",
       "<LogBackupToDiskStreamMetadata><maHostName/></LogBackupToDiskStreamMetadata>",
       CNMessageBase::kErrUnknownName},
      {"repeated attribute", "<LogBackupToDiskStreamMetadata backupTime=\"1\" backupTime=\"2\"/>",
       CNMessageBase::kErrMalformed},
      {"repeated attribute out of order",
       "<LogBackupToDiskStreamMetadata backupTime=\"1\" streamNumber=\"2\" backupTime=\"3\"/>",
       CNMessageBase::kErrMalformed},
      {"unclosed quote", "<LogBackupToDiskStreamMetadata maHostName=\"a>b/>", CNMessageBase::kErrMalformed},
      {"unclosed single quote", "<LogBackupToDiskStreamMetadata maHostName='a\"/>", CNMessageBase::kErrMalformed},
      {"tag inside a tag", "<LogBackupToDiskStreamMetadata <files/>/>", CNMessageBase::kErrMalformed},
  };
  for (const Case& c : cases) {
    LogBackupToDiskStreamMetadata m = SampleStream();
    EXPECT_EQ(m.unserialize(c.xml), c.result) << c.what;
    EXPECT_EQ(Xml(m), good) << c.what;
    if (c.result == CNMessageBase::kErrWrongRoot) continue;  // a valid document for the factory
    std::unique_ptr<CNMessageBase> out;
    EXPECT_TRUE(CNMessageFactory::FromXml(c.xml, out).IsError()) << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
  }
  // Fields in any order, and markup characters inside quoted values, are read as written.
  LogBackupToDiskStreamMetadata any;
  ASSERT_EQ(any.unserialize("<LogBackupToDiskStreamMetadata backupTime='5' maHostName=\"a>b<'c\" "
                            "streamNumber=\"3\"><files openTime=\"2\" fileName='x\"y'/></LogBackupToDiskStreamMetadata>"),
            0);
  EXPECT_EQ(Xml(any), "<LogBackupToDiskStreamMetadata streamNumber=\"3\" maHostName=\"a>b&lt;'c\" "
                      "backupTime=\"5\"><files fileName=\"x&quot;y\" openTime=\"2\"/></LogBackupToDiskStreamMetadata>");
  // Extremes of the number range are accepted.
  LogBackupToDiskStreamMetadata m;
  ASSERT_EQ(m.unserialize("<LogBackupToDiskStreamMetadata streamNumber=\"-9223372036854775808\" "
                          "backupTime=\"9223372036854775807\"/>"), 0);
  EXPECT_EQ(m.getint64(1, kStream, kLogBackupToDiskStreamMetadataStreamNumberId),
            std::numeric_limits<int64_t>::min());
}

TEST(CNMessage, DepthIsLimitedBeforeParsing) {
  auto nested = [](int depth) {
    std::string s = "<LogBackupToDiskStreamMetadata>";
    for (int k = 1; k < depth; ++k) s += "<files>";
    for (int k = 1; k < depth; ++k) s += "</files>";
    return s + "</LogBackupToDiskStreamMetadata>";
  };
  LogBackupToDiskStreamMetadata m;
  EXPECT_EQ(m.unserialize(nested(CNMessageBase::kMaxDepth + 1)), CNMessageBase::kErrTooDeep);
  // Very deep input is refused by the text scan, without building a tree.
  EXPECT_EQ(m.unserialize(nested(200000)), CNMessageBase::kErrTooBig);
  std::string deep(100000 * 3, ' ');
  for (size_t k = 0; k < 100000; ++k) deep.replace(k * 3, 3, "<a>");
  EXPECT_EQ(m.unserialize(deep), CNMessageBase::kErrTooDeep);
  // At the limit the document is valid XML but files records nest no further.
  EXPECT_EQ(m.unserialize(nested(CNMessageBase::kMaxDepth)), CNMessageBase::kErrUnknownName);
  // Quoted '>' and self-closed tags do not count as depth; comments are skipped.
  EXPECT_EQ(m.unserialize("<!-- <a><a> --><LogBackupToDiskStreamMetadata maHostName=\"a>b\">"
                          "<files fileName=\"/>\"/></LogBackupToDiskStreamMetadata>"),
            0);
  EXPECT_EQ(m.getstring(3, 3, kStream, kLogBackupToDiskStreamMetadataMaHostNameId), "a>b");
}

TEST(CNMessage, UnserializeKeepsReferencesValid) {
  LogBackupToDiskStreamMetadata m;
  int64_t& number = m.getint64ByRef(1, 1, kStream, kLogBackupToDiskStreamMetadataStreamNumberId);
  std::string& host = m.getstringByRef(3, 3, kStream, kLogBackupToDiskStreamMetadataMaHostNameId);
  ASSERT_EQ(m.unserialize(Xml(SampleStream())), 0);
  EXPECT_EQ(number, 3);
  EXPECT_EQ(host, "ma1");
  number = -1;
  EXPECT_EQ(m.getint64(1, kStream, kLogBackupToDiskStreamMetadataStreamNumberId), -1);
  // Fields missing from the document are empty after a successful read.
  ASSERT_EQ(m.unserialize("<LogBackupToDiskStreamMetadata/>"), 0);
  EXPECT_EQ(host, "");
  EXPECT_TRUE(Files(m, false)->empty());
}

TEST(CNMessageFactory, BuildsTheRootClass) {
  std::vector<std::unique_ptr<CNMessageBase>> all;
  all.push_back(std::make_unique<MAMountPointReq>());
  all.push_back(std::make_unique<MAMountPointResp>());
  all.push_back(std::make_unique<GenericResp>());
  all.push_back(std::make_unique<MADataPathsListCache>());
  all.push_back(std::make_unique<MADataPaths>());
  all.push_back(std::make_unique<LogBackupToDiskFileMetadata>());
  all.push_back(std::make_unique<LogBackupToDiskStreamMetadata>(SampleStream()));
  for (const auto& msg : all) {
    std::unique_ptr<CNMessageBase> out;
    CZoError err = CNMessageFactory::FromXml(Xml(*msg), out);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->getTagID(), msg->getTagID());
    EXPECT_EQ(typeid(*out), typeid(*msg));
    EXPECT_EQ(Xml(*out), Xml(*msg));
  }
  std::unique_ptr<CNMessageBase> out;
  CZoError err = CNMessageFactory::FromXml("<Unknown a=\"1\"/>", out);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EBADMSG));
  EXPECT_NE(err.AsString().find("Unknown"), std::string::npos);
  err = CNMessageFactory::FromXml(std::string(CNMessageBase::kMaxDocumentSize + 1, ' '), out);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EMSGSIZE));
  EXPECT_EQ(out, nullptr);
}
