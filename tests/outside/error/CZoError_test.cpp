#include <gtest/gtest.h>

#include "outside/error/FXErrorUtil.h"

TEST(CZoError, SuccessHasNoDetails) {
  CZoError ok = CZoError::Success();
  EXPECT_FALSE(ok.IsError());
  EXPECT_EQ(ok.GetErrorCode(), 0);
  EXPECT_TRUE(ok.Frames().empty());
}

TEST(CZoError, KindsNeverCollideAndNumbersAreRecoverable) {
  for (int n : {0, 1, 2, 5, 17, 50, 774, 1359, 4306, 0x0FFFFFFF}) {
    CZoError w = FXErrorUtil::ErrorWin32(FX_LOC, n, "w %d", n);
    CZoError e = FXErrorUtil::ErrorErrNo(FX_LOC, n, "e %d", n);
    EXPECT_TRUE(w.IsError());
    EXPECT_TRUE(e.IsError());
    EXPECT_NE(w.GetErrorCode(), e.GetErrorCode());
    EXPECT_EQ(FXErrorUtil::GetKind(w), FXErrorUtil::Kind::Win32);
    EXPECT_EQ(FXErrorUtil::GetKind(e), FXErrorUtil::Kind::ErrNo);
    EXPECT_EQ(FXErrorUtil::Number(w), n);
    EXPECT_EQ(FXErrorUtil::Number(e), n);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, n));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(w, n));
    EXPECT_TRUE(FXErrorUtil::IsWin32(w, n));
  }
}

TEST(CZoError, PushOnCopyLeavesOriginal) {
  CZoError a = FXErrorUtil::ErrorErrNo(FX_LOC, 2, "file [%s] not found", "x");
  CZoError b = a;
  b.Push(FX_LOC, "while opening %d", 7);
  EXPECT_EQ(a.Frames().size(), 1u);
  ASSERT_EQ(b.Frames().size(), 2u);
  EXPECT_EQ(b.GetErrorCode(), a.GetErrorCode());
  EXPECT_EQ(b.Frames()[1].message, "while opening 7");
  EXPECT_EQ(a.Message(), "file [x] not found");
  EXPECT_EQ(b.Frames()[0].file, "CZoError_test.cpp");
  // innermost first, on one line
  std::string s = b.AsString();
  EXPECT_LT(s.find("file [x] not found"), s.find("while opening 7"));
  EXPECT_EQ(s.find('\n'), std::string::npos);
}

TEST(CZoError, MessagesOfAnyLength) {
  std::string big(5000, 'z');
  CZoError e = FXErrorUtil::ErrorWin32(FX_LOC, 8, "Failed to allocate [%s]", big.c_str());
  EXPECT_EQ(e.Message(), "Failed to allocate [" + big + "]");
}
