// What the riftlink end-to-end tests share.
#pragma once

#include <string>
#include <vector>

#include "harness.h"

// The usage text riftlink writes after every rejected command line.
extern const std::string kUsage;

// Runs the built riftlink with these arguments.
e2e::Proc riftlink(const std::vector<std::string>& args, const e2e::RunOpts& opts = {});
