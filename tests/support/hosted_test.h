// A test against the simulated host in this process: its window on the
// test's thread, the link a handshake with it would give (owner id 256, this
// executable's file name), and a fresh directory.
#pragma once

#include <gtest/gtest.h>

#include "host/host_link.h"
#include "simulated_host.h"
#include "support/temp_dir.h"

namespace corvanlet::testing {

class HostedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(host_.Create());
        link_.window = host_.Window();
        link_.ownerId = HostLink::kDefaultOwnerId;
        HostLink::ModuleFileName(nullptr, link_.moduleName);
    }

    hostsim::SimulatedHost host_;
    HostLink link_;
    TempDir dir_;
};

}  // namespace corvanlet::testing
