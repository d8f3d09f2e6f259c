// SPDX-License-Identifier: Apache-2.0
// A fresh folder under /tmp for a test, removed afterwards: ScratchDir for a unit test,
// ScratchDirOver<Fixture> on a fixture of its own (set up first; no folder when it skips).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

template <typename Base>
class ScratchDirOver : public Base {
protected:
    void SetUp() override {
        Base::SetUp();
        if (this->IsSkipped() || this->HasFatalFailure()) return;
        char name[] = "/tmp/quillferry-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir_.empty() && std::getenv("QUILLFERRY_KEEP_BOARD") == nullptr)
            std::filesystem::remove_all(dir_, ignored);
        Base::TearDown();
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Writes `text` in place at `name` (nothing when null) and returns the path.
    std::string put(const std::string& name, const char* text) const {
        if (text != nullptr) std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    std::string put(const std::string& name, const std::string& text) const {
        return put(name, text.c_str());
    }
    std::string contents(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // A folder of its own in it.
    std::string folder(const std::string& name) const {
        std::filesystem::create_directories(path(name));
        return path(name);
    }
    // The permission bits of `name` (not followed when a link).
    mode_t modeOf(const std::string& name) const {
        struct stat st {};
        EXPECT_EQ(::lstat(path(name).c_str(), &st), 0) << name;
        return st.st_mode & 07777;
    }

    std::string dir_;
};

using ScratchDir = ScratchDirOver<testing::Test>;
