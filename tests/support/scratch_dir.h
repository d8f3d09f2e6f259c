// SPDX-License-Identifier: Apache-2.0
// A fresh folder under /tmp for a unit test, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class ScratchDir : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/quillferry-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Writes `text` in place at `name` (nothing when null) and returns the path.
    std::string put(const std::string& name, const char* text) const {
        if (text != nullptr) std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    std::string contents(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string dir_;
};
