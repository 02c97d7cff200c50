// Shared pieces of the riftlink unit tests.
#pragma once

#include <err.h>
#include <errno.h>

#include <string>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "wormhole.h"

// The name err(3) and warnx(3) print before each report in this binary.
std::string prog();

// What strerror gives on this platform for e.g. EPERM.
std::string errtext(int e);

// A report line as err(3) writes it, and as errx(3) does.
std::string err_line(const std::string& msg, int e);
std::string errx_line(const std::string& msg);

// Every test starts from a clean fake.
class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    err_set_exit(nullptr);  // an earlier test may have left riftlink's hook
  }
};

// A 32-byte name field holding `s` and zeros after it.
std::string field(const std::string& s, size_t width);
