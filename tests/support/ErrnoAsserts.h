#pragma once
// Assertions on CZoError results: success, or an errno-kind error with a given number. The
// message shows the whole error chain.

#include <gtest/gtest.h>

#include "outside/error/FXErrorUtil.h"

#define EXPECT_OK(expr)                          \
  do {                                           \
    CZoError e_ = (expr);                        \
    EXPECT_FALSE(e_.IsError()) << e_.AsString(); \
  } while (0)
#define ASSERT_OK(expr)                          \
  do {                                           \
    CZoError e_ = (expr);                        \
    ASSERT_FALSE(e_.IsError()) << e_.AsString(); \
  } while (0)
#define EXPECT_ERRNO(expr, n)                                                                 \
  do {                                                                                        \
    CZoError e_ = (expr);                                                                     \
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e_, n)) << "want errno " << n << ": " << e_.AsString(); \
  } while (0)
