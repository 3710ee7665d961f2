// A fixture for tests of the batch loop in this process.
#pragma once

#include "cli/Driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <utility>

namespace clitest {

// Each test runs in a fresh folder of its own as the current directory,
// without a progress display; the driver's settings are put back after it.
class TDriverFolder : public ::testing::Test {
protected:
    explicit TDriverFolder(std::string stem) : stem_(std::move(stem)) {}

    void SetUp() override
    {
        ::unsetenv("POSIXLY_CORRECT");
        // Run from a terminal, a slow run would show its progress there.
        driver::errIsTerminal = [] { return false; };
        oldDir_ = std::filesystem::current_path();
        std::string tmpl = "/tmp/ortavixcl-" + stem_ + "-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        std::filesystem::current_path(dir_);
    }
    void TearDown() override
    {
        driver::threads = 0;
        driver::errIsTerminal = [] { return ::isatty(STDERR_FILENO) == 1; };
        driver::progressClock = nullptr;
        std::filesystem::current_path(oldDir_);
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path oldDir_, dir_;

private:
    std::string stem_;
};

} // namespace clitest
